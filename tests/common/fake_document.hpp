// SPDX-License-Identifier: Apache-2.0
#pragma once
// Global options served from a map, the way the real loader stores them; for
// engine tests and benchmarks that need no document on disk.

#include <cstdlib>
#include <map>
#include <string>

#include "contract/config_item.hpp"
#include "support/text_codec.hpp"

namespace talvenix::testing {

// The document as the fake loader sees it: option name -> text, and the
// transport id of every service name. A missing option is "not found".
struct FakeDocument {
  std::map<std::string, std::string> options = {{"enableengine", "yes"}, {"selectedservice", "Fake"},
                                                {"splitsms", "yes"},     {"maxsmssplit", "3"},
                                                {"maxsmschars", "160"},  {"disableunicode", "0"}};
  std::map<std::string, std::string> transports = {{"Fake", "nuldrv"}};
  bool reload_ok = true;
};

// Stores a found or default value the way the real loader does.
inline int ServeGlobalOptions(const FakeDocument& doc, ConfigTable* table) {
  for (ConfigItem& row : *table) {
    if (row.direction != kConfigLoad || !row.destination) continue;
    std::string key = Utf16ToUtf8(row.source == kSourceOptionAttribute ? row.second_name + u"/" + row.id : row.id);
    auto it = doc.options.find(key);
    if (it == doc.options.end() && !row.optional) return 0;
    bool found = it != doc.options.end();
    switch (row.value_type) {
      case kValueBoolean:
        *static_cast<int32_t*>(row.destination) =
            found ? it->second.find("yes") != std::string::npos
                  : (row.default_value ? *static_cast<const int32_t*>(row.default_value) : 0);
        break;
      case kValueInteger:
        *static_cast<int32_t*>(row.destination) =
            found ? std::atoi(it->second.c_str())
                  : (row.default_value ? *static_cast<const int32_t*>(row.default_value) : 0);
        break;
      case kValueNarrow:
        CopyBounded(static_cast<char*>(row.destination), row.size,
                    found ? it->second : (row.default_value ? static_cast<const char*>(row.default_value) : ""));
        break;
      default:
        return 0;
    }
  }
  return 1;
}

}  // namespace talvenix::testing
