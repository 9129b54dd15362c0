// SPDX-License-Identifier: Apache-2.0
#pragma once
// A qvsmscomms.xml that selects the Clickatell gateway, with its endpoints
// pointed at a test server and the given property values.

#include <string>

namespace talvenix::testing {

struct ClickatellAccount {
  std::string api_id = "api 1&2";
  std::string user;
  std::string password;
  std::string from;
};

inline std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '"')
      out += "&quot;";
    else
      out += c;
  }
  return out;
}

inline std::string ClickatellDocument(const ClickatellAccount& a, const std::string& base_url) {
  auto property = [](const char* id, const std::string& value) {
    return std::string("<property id=\"") + id + "\" name=\"" + id + "\" value=\"" + XmlEscape(value) +
           "\"><description><eng>About " + id + "</eng></description></property>\n";
  };
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vantrelcomms><sms><config>\n"
         "<option name=\"enableengine\" value=\"yes\"/>\n"
         "<option name=\"selectedservice\" value=\"Clickatell\"/>\n"
         "<option name=\"splitsms\" value=\"yes\"/><option name=\"maxsmssplit\" value=\"3\"/>\n"
         "<option name=\"maxsmschars\" value=\"160\"/>\n"
         "</config><services>\n"
         "<service name=\"Clickatell\" transport=\"clickatellapi\" signupurl=\"https://sign.up/\" centralurl=\"" +
         base_url + "/http/sendmsg\" platformurl=\"" + base_url + "/messages/http/send\"><properties>\n" +
         property("[user]", a.user) + property("[password]", a.password) + property("[from]", a.from) +
         property("[apiid]", a.api_id) + "</properties></service>\n</services></sms></vantrelcomms>\n";
}

}  // namespace talvenix::testing
