// SPDX-License-Identifier: Apache-2.0
#pragma once
// How the loader finds what it reads: a global option and a service by name
// (the first in document order wins), an attribute by name ignoring case,
// and the rows of a global-option table the load cannot do without. The
// document check asks through these same functions, so it reports on
// exactly what the engine will read.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "config/xml_parser.hpp"
#include "config/xpath.hpp"
#include "contract/config_item.hpp"

namespace talvenix {

// The global options named `option` in the category's <config>.
XPath OptionPath(std::string_view category, std::string_view option);
// Every service of the category, and those named `service`, in document order.
XPath ServicesPath(std::string_view category);
XPath ServicePath(std::string_view category, std::string_view service);
// The attribute ServicePath matches a service by (its name is compared exactly).
pugi::xml_attribute ServiceNameAttribute(pugi::xml_node service);

// Stands `cursor` on the first node `path` selects, the one the loader reads
// and writes, and returns it; empty when there is none.
pugi::xml_node SelectFirst(xmlparser_c& cursor, const XPath& path);

// The first attribute of `element` whose name equals `name` ignoring case.
pugi::xml_attribute AttributeIgnoringCase(pugi::xml_node element, std::string_view name);

// Where the global options' load and update read and write a row: the
// attribute `attribute` of the option `option`. False for a row of another
// source, which they skip.
struct GlobalOptionPlace {
  std::string option;
  std::string attribute;
};
bool GlobalOptionPlaceOf(const ConfigItem& row, GlobalOptionPlace& place);

// A row that stops the load when it is missing.
inline bool IsRequired(const ConfigItem& row) { return row.optional == 0; }

// A global option without which LoadGlobalConfigs fails, and how many bytes
// of its text the load keeps before it cuts (none for a value that is no
// narrow text).
struct RequiredOption {
  GlobalOptionPlace place;
  std::optional<size_t> max_bytes;
};
// The required rows of `table` that the load reads, in table order.
std::vector<RequiredOption> RequiredOptionsOf(const ConfigTable& table);

}  // namespace talvenix
