// SPDX-License-Identifier: Apache-2.0
#include "config/xml_loader_rules.hpp"

#include "config/ascii_case.hpp"
#include "support/text_codec.hpp"

namespace talvenix {
namespace {

// `path` narrowed by `open` and a bound value, closed with "]".
XPath Narrowed(XPath path, std::string_view open, std::string_view variable, std::string_view value) {
  path += open;
  path.Bind(variable, std::string(value));
  path += "]";
  return path;
}

XPath CategoryPath(std::string_view category) {
  return Narrowed(XPath("/vantrelcomms"), "/*[name()=", "category", category);
}

}  // namespace

XPath OptionPath(std::string_view category, std::string_view option) {
  return Narrowed(CategoryPath(category), "/config/option[@name=", "option", option);
}

XPath ServicesPath(std::string_view category) {
  XPath path = CategoryPath(category);
  path += "/services/service";
  return path;
}

XPath ServicePath(std::string_view category, std::string_view service) {
  return Narrowed(ServicesPath(category), "[@name=", "service", service);
}

pugi::xml_attribute ServiceNameAttribute(pugi::xml_node service) { return service.attribute("name"); }

pugi::xml_node SelectFirst(xmlparser_c& cursor, const XPath& path) {
  return cursor.findinititem(path) && cursor.findnextitem() ? cursor.currentelement() : pugi::xml_node();
}

pugi::xml_attribute AttributeIgnoringCase(pugi::xml_node element, std::string_view name) {
  for (pugi::xml_attribute attribute : element.attributes())
    if (EqualsIgnoringCase(attribute.name(), name)) return attribute;
  return {};
}

bool GlobalOptionPlaceOf(const ConfigItem& row, GlobalOptionPlace& place) {
  if (row.source == kSourceValue) {
    place = {Utf16ToUtf8(row.id), "value"};
    return true;
  }
  if (row.source == kSourceOptionAttribute) {
    place = {Utf16ToUtf8(row.second_name), Utf16ToUtf8(row.id)};
    return true;
  }
  return false;
}

std::vector<RequiredOption> RequiredOptionsOf(const ConfigTable& table) {
  std::vector<RequiredOption> required;
  for (const ConfigItem& row : table) {
    GlobalOptionPlace place;
    if (row.direction != kConfigLoad || !IsRequired(row) || !GlobalOptionPlaceOf(row, place)) continue;
    // A narrow text is cut to its row's size less the terminator (CopyBounded).
    std::optional<size_t> max_bytes;
    if (row.value_type == kValueNarrow && row.size > 0) max_bytes = static_cast<size_t>(row.size) - 1;
    required.push_back({std::move(place), max_bytes});
  }
  return required;
}

}  // namespace talvenix
