#pragma once
// The SMTP server of the e-mail tests (tests/peers/smtp_peer.py on aiosmtpd,
// started with Debian's interpreter), the certificates it serves (made with
// the openssl command), and a configuration document for the e-mail gateway.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/peer_process.hpp"
#include "peers/test_certificates.hpp"

namespace talvenix::testing {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The certificates of the e-mail tests, made once per test program.
inline const TestCertificates& SharedCertificates() {
  static const TestCertificates certificates;
  return certificates;
}

// One running server; every option is a flag of smtp_peer.py.
class SmtpPeer {
 public:
  explicit SmtpPeer(std::vector<std::string> options = {}) {
    out_ =
        fs::temp_directory_path() / ("talvenix-smtp-" + std::to_string(getpid()) + "-" + std::to_string(counter()++));
    fs::remove_all(out_);
    fs::create_directories(out_);
    std::vector<std::string> argv = {"/usr/bin/python3", std::string(TALVENIX_SOURCE_DIR) + "/tests/peers/smtp_peer.py",
                                     "--out", out_.string()};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<PeerProcess>(argv);
    std::string line = process_->ReadLine();
    if (line.rfind("PORT ", 0) != 0) throw std::runtime_error("SMTP peer did not start: '" + line + "'");
    port_ = std::stoi(line.substr(5));
  }
  ~SmtpPeer() {
    process_.reset();
    std::error_code ignored;
    fs::remove_all(out_, ignored);
  }

  // Options of a server with TLS from the test CA.
  static std::vector<std::string> Tls(const char* mode, bool trusted = true) {
    const TestCertificates& c = SharedCertificates();
    return {mode, "--cert", trusted ? c.server_cert() : c.rogue_cert(), "--key",
            trusted ? c.server_key() : c.rogue_key()};
  }

  int port() const { return port_; }
  std::string port_text() const { return std::to_string(port_); }
  // Stops the server: its port refuses connections afterwards.
  void Stop() { process_.reset(); }

  // The messages received so far (each the peer's JSON record).
  std::vector<nlohmann::json> Messages() const {
    std::vector<nlohmann::json> out;
    for (int n = 1;; ++n) {
      fs::path p = out_ / ("msg-" + std::to_string(n) + ".json");
      if (!fs::exists(p)) break;
      out.push_back(nlohmann::json::parse(ReadFile(p)));
    }
    return out;
  }
  std::string RawMessage(int n) const { return ReadFile(out_ / ("msg-" + std::to_string(n) + ".eml")); }

 private:
  static int& counter() {
    static int n = 0;
    return n;
  }
  fs::path out_;
  std::unique_ptr<PeerProcess> process_;
  int port_ = 0;
};

// The e-mail gateway's part of a configuration document.
struct EmailDocument {
  std::map<std::string, std::string> properties = {
      {"[smtpserver]", "127.0.0.1"},
      {"[smtpport]", "25"},
      {"[from]", ""},
      {"[to]", ""},
      {"[cc]", ""},
      {"[bcc]", ""},
      {"[subject]", ""},
      {"[bodytemplatename]", "sms"},
      {"[bodyline1]", ""},
      {"[bodyline2]", ""},
      {"[bodyline3]", ""},
      {"[bodyline4]", ""},
      {"[bodyline5]", ""},
      {"[bodyline6]", ""},
      {"[bodyline7]", ""},
      {"[bodyline8]", ""},
      {"[bodyline9]", ""},
      {"[bodyline10]", ""},
  };
  // Optional properties; a value of "-" leaves the property out.
  std::map<std::string, std::string> extras = {{"[smtpsecurity]", "-"}, {"[smtpuser]", "-"}, {"[smtppassword]", "-"}};
  std::map<std::string, std::string> template_fields = {
      {"from", "SMS Gateway <gateway@example.com>"},
      {"to", "[smsnumber]@sms.example.net"},
      {"cc", ""},
      {"bcc", ""},
      {"subject", "SMS for [smsnumber]"},
      {"body", "[smsmessage]"},
  };
  std::string template_name = "sms";
  std::string password_attribute = " encrypt=\"yes\"";  // the password as the store keeps it

  static std::string Escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
      if (c == '&')
        out += "&amp;";
      else if (c == '<')
        out += "&lt;";
      else if (c == '>')
        out += "&gt;";
      else if (c == '"')
        out += "&quot;";
      else if (c == '\r')
        out += "&#13;";  // a parser would turn a literal CR LF into LF
      else
        out += c;
    }
    return out;
  }

  std::string Xml() const {
    std::string x =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vantrelcomms>\n<sms>\n<config>\n"
        "<option name=\"enableengine\" value=\"yes\"/>\n<option name=\"selectedservice\" value=\"Mail\"/>\n"
        "<option name=\"maxsmssplit\" value=\"3\"/>\n<option name=\"maxsmschars\" value=\"160\"/>\n"
        "</config>\n<services>\n<service name=\"Null\" transport=\"nuldrv\"><properties/></service>\n"
        "<service name=\"Mail\" transport=\"gensmtp\">\n<properties>\n";
    int n = 0;
    auto property = [&](const std::string& id, const std::string& value, const std::string& flags) {
      x += "<property id=\"" + id + "\" name=\"P" + std::to_string(++n) + "\" value=\"" + Escaped(value) + "\"" +
           flags + "><description><eng>About " + id + "</eng></description></property>\n";
    };
    for (const auto& [id, value] : properties) property(id, value, "");
    for (const auto& [id, value] : extras)
      if (value != "-") property(id, value, id == "[smtppassword]" ? password_attribute : "");
    x += "</properties>\n</service>\n</services>\n</sms>\n<templates>\n<template name=\"" + template_name + "\">\n";
    for (const auto& [field, text] : template_fields)
      if (text != "-") x += "<" + field + ">" + Escaped(text) + "</" + field + ">\n";
    return x + "</template>\n</templates>\n</vantrelcomms>\n";
  }
};

}  // namespace talvenix::testing
