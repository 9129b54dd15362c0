// SPDX-License-Identifier: Apache-2.0
#include "config/document_check.hpp"

#include <cstring>

#include "config/value_encoding.hpp"
#include "config/xml_errors.hpp"
#include "config/xml_file.hpp"
#include "config/xml_loader_rules.hpp"
#include "config/xml_parser.hpp"
#include "contract/service.hpp"
#include "support/value_cipher.hpp"

namespace talvenix {
namespace {

// What two options mean to the check; which options are required, and how
// long they may be, comes from the engine's table.
constexpr std::string_view kEnableEngine = "enableengine";
constexpr std::string_view kSelectedService = "selectedservice";

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
  std::string service_name = Quoted(ServiceNameAttribute(service).value());
  for (pugi::xml_node property : service.child("properties").children("property")) {
    std::string_view id = AttributeIgnoringCase(property, "id").value();
    std::string_view value = AttributeIgnoringCase(property, "value").value();
    if (std::string plain; !value.empty() && std::string_view(property.attribute("encrypt").value()) == "yes" &&
                           !DecipherValue(value, plain))
      check.Warning(property, "the property " + std::string(id) + " of " + service_name +
                                  " is marked encrypt=\"yes\" but its value is not enciphered: it is used as it "
                                  "stands; set it through the settings to store it enciphered");
    if (value.empty() || AttributeIgnoringCase(property, "encrypt")) continue;
    for (const SettingsField& field : gateway.settings_fields) {
      if (id != field.property_id || !field.HasRange() || field.AcceptsNumber(value)) continue;
      std::string text = "the property " + std::string(id) + " of " + service_name + " is " + Quoted(value) +
                         ": it takes a whole number from " + std::to_string(field.min_number) + " to " +
                         std::to_string(field.max_number);
      selected ? check.Error(property, std::move(text)) : check.Warning(property, std::move(text));
    }
  }
}

// The value of "selectedservice", when it can name a service.
struct Selection {
  pugi::xml_node option;
  pugi::xml_attribute value;
};

// The options without which the global options do not load, found as the
// loader finds them.
Selection CheckRequiredOptions(Checker& check, xmlparser_c& cursor, pugi::xml_node config, const char* category,
                               const ConfigTable& global_options) {
  Selection selection;
  for (const RequiredOption& required : RequiredOptionsOf(global_options)) {
    const std::string& name = required.place.option;
    const std::string& attribute = required.place.attribute;
    pugi::xml_node option = SelectFirst(cursor, OptionPath(category, name));
    pugi::xml_attribute value = AttributeIgnoringCase(option, attribute);
    size_t length = std::strlen(value.value());
    if (!option) {
      check.Error(config, "the required option " + Quoted(name) + " is missing: add <option name=" + Quoted(name) +
                              " " + attribute + "=\"...\"/>");
    } else if (!value) {
      check.Error(option, "the option " + Quoted(name) + " has no " + attribute + " attribute");
    } else if (required.max_bytes && length > *required.max_bytes) {
      // The engine reads a cut value: a cut service name names no service.
      check.Error(option, "the option " + Quoted(name) + " is " + std::to_string(length) +
                              " bytes long; the engine reads at most " + std::to_string(*required.max_bytes) +
                              (name == kSelectedService ? ": give the service a shorter name" : ": shorten it"));
    } else if (name == kSelectedService) {
      selection = {option, value};
    } else if (name == kEnableEngine && !ReadsAsYes(value.value())) {
      check.Error(option, "enableengine is " + Quoted(value.value()) +
                              ": the engine will not start (121 engine disabled); write \"yes\" to enable it");
    }
  }
  return selection;
}

// Every service but the selected one: names that select nothing or another
// service, transports no gateway has, properties out of range (warnings).
void CheckOtherServices(Checker& check, xmlparser_c& cursor, const char* category, ServiceList gateways,
                        pugi::xml_node selected) {
  xmlparser_c each = cursor;  // a cursor of its own: `cursor` answers the lookups
  each.findinititem(ServicesPath(category));
  while (each.findnextitem()) {
    pugi::xml_node service = each.currentelement();
    pugi::xml_attribute name = ServiceNameAttribute(service);
    pugi::xml_attribute transport = AttributeIgnoringCase(service, "transport");
    if (!name) check.Warning(service, "a service without a name attribute cannot be selected");
    bool first = name && SelectFirst(cursor, ServicePath(category, name.value())) == service;
    if (name && !first)
      check.Warning(service, "a second service named " + Quoted(name.value()) + "; only the first one is used");
    if (service == selected) continue;  // checked on its own
    if (!transport) {
      check.Warning(service, "the service has no transport attribute");
    } else if (const ServiceDescriptor* gateway = FindServiceByTransportId(gateways, transport.value()); !gateway) {
      check.Warning(service, "unknown transport id " + Quoted(transport.value()));
    } else if (first) {
      CheckProperties(check, service, *gateway, false);
    }
  }
}

// The service "selectedservice" names: it must exist and have a gateway.
void CheckSelectedService(Checker& check, const Selection& selection, pugi::xml_node service, ServiceList gateways) {
  std::string name = Quoted(selection.value.value());
  if (!service) {
    check.Error(selection.option, "the selected service " + name + " is not among the services");
    return;
  }
  pugi::xml_attribute transport = AttributeIgnoringCase(service, "transport");
  const ServiceDescriptor* gateway = FindServiceByTransportId(gateways, transport.value());
  if (!transport) {
    check.Error(service, "the selected service " + name + " has no transport attribute");
  } else if (!gateway) {
    check.Error(service, "the selected service " + name + " has the unknown transport id " + Quoted(transport.value()));
  } else if (!gateway->display_name) {
    check.Error(service, "the selected service " + name + " uses transport id " + Quoted(transport.value()) +
                             ", which no gateway implements");
  } else {
    CheckProperties(check, service, *gateway, true);
  }
}

}  // namespace

std::vector<ConfigProblem> CheckConfigurationDocument(const char* path, const char* category, ServiceList gateways,
                                                      const ConfigTable& global_options) {
  XmlFileError error;
  std::shared_ptr<XmlFileDocument> file = LoadXmlFile(path, error);
  if (!file) {
    const char* what = error.code == kXmlErrorRefusedMarkup ? "refused: "
                       : error.code == kXmlErrorEncoding    ? "not readable in its encoding: "
                                                            : "not well-formed: ";
    std::string text = error.line > 0 ? what + error.reason + " (position " + std::to_string(error.position) + ")"
                                      : "cannot be read: " + error.reason;
    return {{ConfigProblem::Kind::kError, error.line, std::move(text)}};
  }
  Checker check(*file);
  xmlparser_c cursor(nullptr);  // the loader's cursor, silent: the check reports for itself
  cursor.adoptdocument(file);
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
  Selection selection;
  if (!config)
    check.Error(sms, "no <config> element in <" + std::string(category) + ">: the global options are missing");
  else
    selection = CheckRequiredOptions(check, cursor, config, category, global_options);

  if (!sms.child("services")) {
    check.Error(sms, "no <services> element in <" + std::string(category) + ">");
    return check.Take();
  }
  pugi::xml_node selected;
  if (selection.value) selected = SelectFirst(cursor, ServicePath(category, selection.value.value()));
  CheckOtherServices(check, cursor, category, gateways, selected);
  if (selection.value) CheckSelectedService(check, selection, selected, gateways);
  return check.Take();
}

std::string ConfigurationReadProblem(const char* path) {
  XmlFileError error;
  return LoadXmlFile(path, error, XmlLoadMode::kForReading) ? std::string() : DescribeParseError(error);
}

}  // namespace talvenix
