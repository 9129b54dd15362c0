// SPDX-License-Identifier: Apache-2.0
#include "config/document_check.hpp"

#include <cstring>
#include <map>

#include "config/ascii_case.hpp"
#include "support/value_cipher.hpp"
#include "config/xml_errors.hpp"
#include "config/xml_file.hpp"
#include "contract/service.hpp"

namespace talvenix {
namespace {

// The options record holds "selectedservice" in 899 bytes, terminator included.
constexpr size_t kMaxSelectedServiceBytes = 898;

class Checker {
 public:
  explicit Checker(const XmlFileDocument& file) : file_(file) {}

  int LineOf(pugi::xml_node node) const {
    if (!node || node.offset_debug() < 0) return 0;
    int line, position;
    PlaceOf(file_.text, static_cast<size_t>(node.offset_debug()), line, position);
    return line;
  }
  void Error(pugi::xml_node at, std::string text) {
    problems_.push_back({ConfigProblem::Kind::kError, LineOf(at), std::move(text)});
  }
  void Warning(pugi::xml_node at, std::string text) {
    problems_.push_back({ConfigProblem::Kind::kWarning, LineOf(at), std::move(text)});
  }
  std::vector<ConfigProblem> Take() { return std::move(problems_); }

 private:
  const XmlFileDocument& file_;
  std::vector<ConfigProblem> problems_;
};

// The attribute named `name` (ignoring case, as the loader reads it).
pugi::xml_attribute AttributeOf(pugi::xml_node node, std::string_view name) {
  for (pugi::xml_attribute a : node.attributes())
    if (EqualsIgnoringCase(std::string_view(a.name()), name)) return a;
  return {};
}

pugi::xml_node OptionNamed(pugi::xml_node config, std::string_view name) {
  for (pugi::xml_node option : config.children("option"))
    if (name == option.attribute("name").value()) return option;
  return {};
}

std::string Quoted(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '"';
  quoted += text;
  quoted += '"';
  return quoted;
}

// Numeric properties (ports, intervals) whose value is outside the range
// their gateway takes: an error for the selected service, else a warning.
// An empty value is one not yet configured and is left to the gateway. A
// value marked encrypt="yes" that is not enciphered is used as it stands:
// a warning.
void CheckProperties(Checker& check, pugi::xml_node service, const ServiceDescriptor& gateway, bool selected) {
  for (pugi::xml_node property : service.child("properties").children("property")) {
    std::string_view id = AttributeOf(property, "id").value();
    std::string_view value = AttributeOf(property, "value").value();
    if (std::string plain; !value.empty() && std::string_view(property.attribute("encrypt").value()) == "yes" &&
                           !DecipherValue(value, plain))
      check.Warning(property, "the property " + std::string(id) + " of " +
                                  Quoted(AttributeOf(service, "name").value()) +
                                  " is marked encrypt=\"yes\" but its value is not enciphered: it is used as it "
                                  "stands; set it through the settings to store it enciphered");
    if (value.empty() || AttributeOf(property, "encrypt")) continue;
    for (const SettingsField& field : gateway.settings_fields) {
      if (id != field.property_id || !field.HasRange() || field.AcceptsNumber(value)) continue;
      std::string text = "the property " + std::string(id) + " of " + Quoted(AttributeOf(service, "name").value()) +
                         " is " + Quoted(value) + ": it takes a whole number from " + std::to_string(field.min_number) +
                         " to " + std::to_string(field.max_number);
      selected ? check.Error(property, std::move(text)) : check.Warning(property, std::move(text));
    }
  }
}

}  // namespace

std::vector<ConfigProblem> CheckConfigurationDocument(const char* path, const char* category, ServiceList gateways) {
  XmlFileError error;
  std::unique_ptr<XmlFileDocument> file = LoadXmlFile(path, error);
  if (!file) {
    const char* what = error.code == kXmlErrorRefusedMarkup ? "refused: "
                       : error.code == kXmlErrorEncoding    ? "not readable in its encoding: "
                                                            : "not well-formed: ";
    std::string text = error.line > 0 ? what + error.reason + " (position " + std::to_string(error.position) + ")"
                                      : "cannot be read: " + error.reason;
    return {{ConfigProblem::Kind::kError, error.line, std::move(text)}};
  }
  Checker check(*file);
  pugi::xml_node root = file->document.document_element();
  if (std::string_view(root.name()) != "vantrelcomms") {
    check.Error(root, "the root element is <" + std::string(root.name()) + ">; it must be <vantrelcomms>");
    return check.Take();
  }
  pugi::xml_node sms = root.child(category);
  if (!sms) {
    check.Error(root, "no <" + std::string(category) + "> element in <vantrelcomms>");
    return check.Take();
  }
  pugi::xml_node config = sms.child("config");
  if (!config)
    check.Error(sms, "no <config> element in <" + std::string(category) + ">: the global options are missing");

  // The two options without which the global options do not load.
  pugi::xml_attribute selected;
  pugi::xml_node selected_option;
  for (const char* required : {"enableengine", "selectedservice"}) {
    if (!config) break;
    pugi::xml_node option = OptionNamed(config, required);
    pugi::xml_attribute value = AttributeOf(option, "value");
    if (!option) {
      check.Error(config, "the required option " + Quoted(required) +
                              " is missing: add <option name=" + Quoted(required) + " value=\"...\"/>");
    } else if (!value) {
      check.Error(option, "the option " + Quoted(required) + " has no value attribute");
    } else if (std::string_view(required) == "selectedservice" &&
               std::strlen(value.value()) > kMaxSelectedServiceBytes) {
      // The engine reads a cut name, which then names no service.
      check.Error(option, "the option \"selectedservice\" is " + std::to_string(std::strlen(value.value())) +
                              " bytes long; the engine reads at most " + std::to_string(kMaxSelectedServiceBytes) +
                              ": give the service a shorter name");
    } else if (std::string_view(required) == "selectedservice") {
      selected = value;
      selected_option = option;
    } else if (std::string_view(value.value()).find("yes") == std::string_view::npos) {
      check.Error(option, "enableengine is " + Quoted(value.value()) +
                              ": the engine will not start (121 engine disabled); write \"yes\" to enable it");
    }
  }

  pugi::xml_node services = sms.child("services");
  if (!services) {
    check.Error(sms, "no <services> element in <" + std::string(category) + ">");
    return check.Take();
  }
  std::map<std::string, pugi::xml_node> first_by_name;
  for (pugi::xml_node service : services.children("service")) {
    pugi::xml_attribute name = AttributeOf(service, "name");
    pugi::xml_attribute transport = AttributeOf(service, "transport");
    if (!name) check.Warning(service, "a service without a name attribute cannot be selected");
    bool first = name && first_by_name.emplace(name.value(), service).second;
    if (name && !first)
      check.Warning(service, "a second service named " + Quoted(name.value()) + "; only the first one is used");
    if (first && selected && std::string_view(name.value()) == selected.value()) continue;  // checked below
    if (!transport) {
      check.Warning(service, "the service has no transport attribute");
    } else if (const ServiceDescriptor* gateway = FindServiceByTransportId(gateways, transport.value()); !gateway) {
      check.Warning(service, "unknown transport id " + Quoted(transport.value()));
    } else if (first) {
      CheckProperties(check, service, *gateway, false);
    }
  }

  if (selected) {
    auto found = first_by_name.find(selected.value());
    if (found == first_by_name.end()) {
      check.Error(selected_option, "the selected service " + Quoted(selected.value()) + " is not among the services");
    } else {
      pugi::xml_node service = found->second;
      pugi::xml_attribute transport = AttributeOf(service, "transport");
      const ServiceDescriptor* gateway = FindServiceByTransportId(gateways, transport.value());
      if (!transport) {
        check.Error(service, "the selected service " + Quoted(selected.value()) + " has no transport attribute");
      } else if (!gateway) {
        check.Error(service, "the selected service " + Quoted(selected.value()) + " has the unknown transport id " +
                                 Quoted(transport.value()));
      } else if (!gateway->display_name) {
        check.Error(service, "the selected service " + Quoted(selected.value()) + " uses transport id " +
                                 Quoted(transport.value()) + ", which no gateway implements");
      } else {
        CheckProperties(check, service, *gateway, true);
      }
    }
  }
  return check.Take();
}

std::string ConfigurationReadProblem(const char* path) {
  XmlFileError error;
  return LoadXmlFile(path, error, XmlLoadMode::kForReading) ? std::string() : DescribeParseError(error);
}

}  // namespace talvenix
