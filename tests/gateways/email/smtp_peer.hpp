// SPDX-License-Identifier: Apache-2.0
#pragma once
// The SMTP server of the e-mail tests (tests/peers/smtp_peer.py on aiosmtpd,
// started with Debian's interpreter) and the certificates it serves (made
// with the openssl command).

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/peer_process.hpp"
#include "gateways/email/email_document.hpp"
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

}  // namespace talvenix::testing
