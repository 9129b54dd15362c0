// SPDX-License-Identifier: Apache-2.0
#pragma once
// A configuration document for the e-mail gateway, and its settings as the
// tests change them.

#include <map>
#include <string>

namespace talvenix::testing {

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
