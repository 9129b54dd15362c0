// SPDX-License-Identifier: Apache-2.0
#pragma once
// A configuration document that selects the GSM modem service with the given
// lines, written where the module reads it, and a reader of the lines that
// the document holds now.

#include <pugixml.hpp>

#include <map>
#include <string>
#include <vector>

namespace talvenix::testing {

struct DocumentLine {
  DocumentLine(int port, int baud = 9600, std::string name = "Line", std::map<std::string, std::string> overrides = {})
      : port(port), baud(baud), name(std::move(name)), overrides(std::move(overrides)) {}
  int port;
  int baud;
  std::string name;
  std::map<std::string, std::string> overrides;  // property id -> value
};

inline std::string GsmDocument(const std::vector<DocumentLine>& lines) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vantrelcomms>\n <sms>\n  <config>\n"
      "   <option name=\"enableengine\" value=\"yes\"/>\n"
      "   <option name=\"selectedservice\" value=\"GSM Modems\"/>\n"
      "   <option name=\"splitsms\" value=\"yes\"/>\n"
      "   <option name=\"maxsmssplit\" value=\"3\"/>\n"
      "   <option name=\"maxsmschars\" value=\"160\"/>\n"
      "   <option name=\"append\" value=\"no\" infotype=\"display\" position=\"after\"/>\n"
      "   <option name=\"disableunicode\" value=\"0\"/>\n"
      "  </config>\n  <services>\n"
      "   <service name=\"Null\" transport=\"nuldrv\"><properties/></service>\n"
      "   <service name=\"GSM Modems\" transport=\"simple_gsm\">\n    <lines>\n";
  for (const DocumentLine& l : lines) {
    std::vector<std::pair<std::string, std::string>> properties = {
        {"[comport]", std::to_string(l.port)}, {"[baudrate]", std::to_string(l.baud)}, {"[initstr]", "ATZ"},
        {"[smsc]", "+4479"},          {"[linename]", l.name},       {"[recenabled]", "1"},
        {"[sendenabled]", "1"},       {"[cleansimenabled]", "0"},   {"[srenabled]", "1"},
        {"[lineenabled]", "1"},       {"[smsretry]", "3"},          {"[inumberenabled]", "1"},
        {"[readiomode]", "BLOCKING"}, {"[cnmiparameters]", ""}};
    xml += "     <line><properties>\n";
    for (auto& [id, value] : properties) {
      auto o = l.overrides.find(id);
      xml += "      <property name=\"" + id + "\" id=\"" + id + "\" value=\"" +
             (o == l.overrides.end() ? value : o->second) + "\"/>\n";
    }
    xml += "     </properties></line>\n";
  }
  xml += "    </lines>\n    <properties/>\n   </service>\n  </services>\n </sms>\n <templates/>\n</vantrelcomms>\n";
  return xml;
}

// Every line of the document as (id -> value) maps, in document order.
inline std::vector<std::map<std::string, std::string>> DocumentLines(const std::string& path) {
  pugi::xml_document doc;
  doc.load_file(path.c_str());
  std::vector<std::map<std::string, std::string>> lines;
  for (pugi::xpath_node line : doc.select_nodes("//service[@transport='simple_gsm']/lines/line")) {
    std::map<std::string, std::string> properties;
    for (pugi::xml_node p : line.node().child("properties").children("property"))
      properties[p.attribute("id").value()] = p.attribute("value").value();
    lines.push_back(properties);
  }
  return lines;
}

}  // namespace talvenix::testing
