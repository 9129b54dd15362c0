// SPDX-License-Identifier: Apache-2.0
// XMLLoader: the lines of multi-line services (the GSM modem lines): listing,
// changing one line, adding and removing lines.

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "config/ascii_case.hpp"
#include "config/value_encoding.hpp"
#include "config/xml_file.hpp"
#include "config/xml_layout.hpp"
#include "config/xml_loader.hpp"
#include "support/text_codec.hpp"

namespace talvenix {

namespace {

// A line's number as written: optional blanks and sign, then digits; what
// follows the digits is ignored and values beyond 32 bits stop at the limit.
int32_t LeadingInteger(const char* text) {
  long long value = std::strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

pugi::xml_node FirstElementChild(pugi::xml_node node) {
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling())
    if (child.type() == pugi::node_element) return child;
  return {};
}

// The `service` element whose transport attribute equals transport_id
// (case-sensitive), searched among every service of the category.
pugi::xml_node FindServiceElement(const pugi::xml_document& document, const std::string& category,
                                  const std::string& transport_id) {
  pugi::xml_node root = document.document_element();
  if (std::string(root.name()) != "vantrelcomms") return {};
  pugi::xml_node services = root.child(category.c_str()).child("services");
  for (pugi::xml_node service : services.children("service"))
    if (transport_id == service.attribute("transport").value()) return service;
  return {};
}

// The element children of `parent` named `name` (names compare exactly, as in an XPath step).
template <typename Visit>
bool ForEachChildElement(pugi::xml_node parent, const char* name, Visit&& visit) {
  for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling())
    if (child.type() == pugi::node_element && std::strcmp(child.name(), name) == 0 && !visit(child)) return false;
  return true;
}

// Calls visit(property) for each lines/line/properties/property under the
// service, in document order, until it returns false. Child steps over the
// tree: listing 64 lines this way costs a fraction of an XPath node set.
template <typename Visit>
void ForEachLineProperty(pugi::xml_node service, Visit&& visit) {
  ForEachChildElement(service, "lines", [&](pugi::xml_node lines) {
    return ForEachChildElement(lines, "line", [&](pugi::xml_node line) {
      return ForEachChildElement(line, "properties", [&](pugi::xml_node properties) {
        return ForEachChildElement(properties, "property", visit);
      });
    });
  });
}

}  // namespace

int XMLLoader::LoadServiceConfigsEx(const char16_t* transport_id, const char16_t* key_id,
                                    std::vector<LinePropertyItem>* list) {
  if (!transport_id) {
    logger_->Error("XMLLoader::LoadServiceConfigsEx _ Invalid parameter(s).");
    return 0;
  }
  std::string service;
  if (!ReloadAndFindServiceName(transport_id, service)) return 0;
  std::shared_ptr<const XmlFileDocument> document = parser_.loadeddocument();  // holds the listing's texts
  const LineListing& listing = ListLineProperties(service, key_id);
  if (!list) return static_cast<int>(listing.properties.size());

  // The caller's rows are reused from call to call: conversions into them
  // allocate only when a text outgrows its row.
  int line_counter = 0;
  std::string_view line_key;
  auto row = list->begin();
  for (const LineListing::Property& property : listing.properties) {
    if (row == list->end()) break;  // never more rows than the caller gave room for
    if (property.starts_line) {
      ++line_counter;
      line_key = property.value;
    }
    AssignUtf16(row->item.id, property.id);
    AssignUtf16(row->value, property.value);
    AssignUtf16(row->line_key, line_key);
    row->line_number = line_counter;
    ++row;
  }
  return line_counter;
}

const XMLLoader::LineListing& XMLLoader::ListLineProperties(const std::string& service, const char16_t* key_id) {
  std::shared_ptr<const XmlFileDocument> document = parser_.loadeddocument();
  std::optional<std::string> key;
  if (key_id) key = Utf16ToUtf8(key_id);
  LineListing& listing = line_listing_;
  if (document && listing.document.lock() == document && !document->changed && listing.service == service &&
      listing.key == key)
    return listing;

  size_t expected = listing.properties.size();  // a changed file mostly keeps its size
  listing = LineListing{document, service, key, {}};
  listing.properties.reserve(expected);
  ForEachLineProperty(ServiceElement(service.c_str()), [&](pugi::xml_node property) {
    std::string_view id, value;
    for (pugi::xml_attribute attribute = property.first_attribute(); attribute;
         attribute = attribute.next_attribute()) {
      const char* name = attribute.name();
      if (EqualsIgnoringCase(name, "value"))
        value = attribute.value();
      else if (EqualsIgnoringCase(name, "id"))
        id = attribute.value();
    }
    bool starts_line = key && id.find(*key) != std::string_view::npos;  // the key property starts a new line
    listing.properties.push_back({id, value, starts_line});
    return true;
  });
  return listing;
}

int XMLLoader::UpdateServiceConfigsEx(const char16_t* transport_id, int line_number, const char16_t* key_id,
                                      std::vector<LinePropertyItem>* list) {
  if (!transport_id || !list || !key_id) {
    logger_->Error("XMLLoader::UpdateServiceConfigsEx - invalid parameter(s)");
    return 0;
  }
  platform::FileLock lock;
  if (!LockForEditing(lock, "UpdateServiceConfigsEx")) return 0;
  if (!Reload(XmlLoadMode::kForEditing)) {
    logger_->Error("XMLLoader::UpdateServiceConfigsEx - failed to reload configuration(s)");
    return 0;
  }
  std::string service;
  if (!FindServiceName(transport_id, service)) return 0;
  if (!SelectInService(service.c_str(), XPath("lines/line"))) {
    XPath lines;
    if (constructserviceroot(service.c_str(), lines)) lines += "/lines/line";
    logger_->Error("XMLLoader::UpdateServiceConfigsEx - invalid root path: %s", lines.Describe().c_str());
    return 0;
  }
  int line_count = 0;
  while (parser_.findnextitem()) ++line_count;

  // Properties are addressed inside their own line, so a line that lacks one
  // of them can never shift a change onto another line.
  auto select_property = [&](int position, std::u16string_view id) {
    XPath path("(lines/line)[");
    path.BindNumber("position", position);
    path += "]/properties/property[@id=";
    path.Bind("property", Utf16ToUtf8(id));
    path += "]";
    return SelectInService(service.c_str(), path);
  };
  for (int position = 1; position <= line_count; ++position) {
    std::u16string key_value;
    if (!select_property(position, key_id) || ReadAttribute("value", &key_value) != 1) {
      logger_->Warn("XMLLoader::UpdateServiceConfigsEx - failed to get line ID, skipping line.");
      continue;
    }
    if (ReadDigits(key_value) != line_number) continue;

    for (const LinePropertyItem& row : *list) {
      if (!select_property(position, row.item.id) || WriteAttribute("value", row.value.c_str()) != 1)
        logger_->Error("XMLLoader::UpdateGSMCOMLineProperties - failed to change field '%s'",
                       Utf16ToUtf8(row.item.id).c_str());
    }
    if (!parser_.saveconfiguration(path_.c_str())) {
      logger_->Error("XMLLoader::UpdateServiceConfigsEx - failed to change to save configurations");
      return 0;
    }
    return 1;
  }
  logger_->Error("XMLLoader::UpdateServiceConfigsEx - could not find specfied line.");
  return 0;
}

int XMLLoader::CreateNewLine(const char16_t* transport_id, const LineTemplate* line) {
  if (!transport_id || !line || line->empty() || path_.empty() || category_.empty()) {
    logger_->Error("XMLLoader::CreateNewLine - invalid parameter(s).");
    return 0;
  }
  platform::FileLock lock;
  if (!LockForEditing(lock, "CreateNewLine")) return 0;
  // A document of its own, read completely before the walk.
  XmlFileError error;
  std::unique_ptr<XmlFileDocument> file = LoadXmlFile(path_.c_str(), error);
  if (!file) {
    logger_->Error("XMLLoader::CreateNewLine - cannot load %s: %s", path_.c_str(), DescribeParseError(error).c_str());
    return 0;
  }
  std::string id = Utf16ToUtf8(transport_id);
  pugi::xml_node lines = FindServiceElement(file->document, category_, id).child("lines");
  if (!lines) {
    logger_->Error("XMLLoader::CreateNewLine - no service with transport ID '%s' and a lines element.", id.c_str());
    return 0;
  }
  pugi::xml_node properties = AppendChildIndented(AppendChildIndented(lines, "line"), "properties");
  for (const LineTemplateField& field : *line) {
    pugi::xml_node property = AppendChildIndented(properties, "property");
    property.append_attribute("name").set_value(Utf16ToUtf8(field.name).c_str());
    property.append_attribute("id").set_value(Utf16ToUtf8(field.id).c_str());
    property.append_attribute("value").set_value(Utf16ToUtf8(field.value).c_str());
  }
  if (!SaveXmlFile(path_.c_str(), *file, error)) {
    logger_->Error("XMLLoader::CreateNewLine - com error[0x%X, %s]", error.code, error.reason.c_str());
    return 0;
  }
  return 1;
}

int XMLLoader::DeleteLine(const char16_t* transport_id, int line_number) {
  if (!transport_id || path_.empty() || category_.empty()) {
    logger_->Error("XMLLoader::DeleteLine - invalid parameter(s).");
    return 0;
  }
  platform::FileLock lock;
  if (!LockForEditing(lock, "DeleteLine")) return 0;
  XmlFileError error;
  std::unique_ptr<XmlFileDocument> file = LoadXmlFile(path_.c_str(), error);
  if (!file) {
    logger_->Error("XMLLoader::DeleteLine - cannot load %s: %s", path_.c_str(), DescribeParseError(error).c_str());
    return 0;
  }
  pugi::xml_node lines = FindServiceElement(file->document, category_, Utf16ToUtf8(transport_id)).child("lines");
  for (pugi::xml_node line : lines.children("line")) {
    // The line's number is the value of the first property of its properties.
    pugi::xml_attribute key = FirstElementChild(line).child("property").attribute("value");
    if (!key || LeadingInteger(key.value()) != line_number) continue;
    RemoveChildIndented(line);
    if (!SaveXmlFile(path_.c_str(), *file, error)) {
      logger_->Error("XMLLoader::DeleteLine - com error[0x%X, %s]", error.code, error.reason.c_str());
      return 0;
    }
    return 1;
  }
  return 0;
}

}  // namespace talvenix
