// SPDX-License-Identifier: Apache-2.0
#pragma once
// Rows of the settings tables through which the engine and every gateway load
// and save their settings. The caller owns a table and everything its
// pointers reach.

#include <cstdint>
#include <string>
#include <vector>

namespace talvenix {

enum ConfigDirection : int32_t { kConfigUpdate = 0, kConfigLoad = 1 };

enum ConfigSource : int32_t {
  kSourceValue = 0,             // `value` attribute of a property or option
  kSourceServiceAttribute = 1,  // attribute of the service element, named by id
  kSourceOptionAttribute = 2,   // attribute `id` of the global option `second_name`
  kSourceTemplateField = 3      // field `id` of the template `second_name`
};

enum ConfigValueType : int32_t {
  kValueBoolean = 0,  // int32_t 0 or 1
  kValueWide = 1,     // char16_t[size]
  kValueNarrow = 2,   // char[size], UTF-8
  kValueInteger = 3   // int32_t
};

struct ConfigItem {
  ConfigItem(int32_t direction, std::u16string id, int32_t value_type, void* destination, int32_t size,
             const void* default_value = nullptr, int32_t optional = 0, int32_t source = kSourceValue,
             std::u16string second_name = {})
      : direction(direction),
        source(source),
        id(std::move(id)),
        second_name(std::move(second_name)),
        value_type(value_type),
        size(size),
        optional(optional),
        destination(destination),
        default_value(default_value) {}

  int32_t direction;
  int32_t source;
  std::u16string id;
  std::u16string second_name;
  int32_t value_type;
  int32_t size;      // characters for text types (value cut to size-1); 4 otherwise
  int32_t optional;  // non-zero: a missing value takes the default
  void* destination;
  const void* default_value;  // text of the destination's width, or int32_t
};

using ConfigTable = std::vector<ConfigItem>;

// One property of one modem line, as exchanged with the line operations.
struct LinePropertyItem {
  ConfigItem item{kConfigLoad, u"", kValueWide, nullptr, 0};  // only item.id is used
  std::u16string value;
  std::u16string line_key;  // value of the key property of the line
  int32_t line_number = 0;  // 1 for the first line
};

// A new line for CreateNewLine: (name, id, value) triples, key property first.
struct LineTemplateField {
  std::u16string name;
  std::u16string id;
  std::u16string value;
};
using LineTemplate = std::vector<LineTemplateField>;

}  // namespace talvenix
