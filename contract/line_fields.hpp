// SPDX-License-Identifier: Apache-2.0
#pragma once
// The field of a modem line record that a LineField of the modem gateway's
// descriptor names, for the gateway (stored text <-> record) and the
// settings command (typed text -> record) alike.

#include <cstdint>
#include <string_view>

#include "contract/service_descriptor.hpp"
#include "talvenix/talvenix.h"

namespace talvenix {

// T must be the field's type for its kind: uint32_t (kPort, kUnsigned),
// int32_t (kSigned), uint8_t (kFlag), uint16_t (kReadMode),
// char16_t[TALVEX_LINE_TEXT_CHARS] (kText).
template <typename T>
T& LineMember(TalvexLineRecord& line, const LineField& field) {
  return *reinterpret_cast<T*>(reinterpret_cast<unsigned char*>(&line) + field.offset);
}
template <typename T>
const T& LineMember(const TalvexLineRecord& line, const LineField& field) {
  return *reinterpret_cast<const T*>(reinterpret_cast<const unsigned char*>(&line) + field.offset);
}

// The field whose property id is `id`, with or without its brackets; null when none is.
inline const LineField* FindLineField(std::span<const LineField> fields, std::string_view id) {
  if (id.size() > 2 && id.front() == '[' && id.back() == ']') id = id.substr(1, id.size() - 2);
  for (const LineField& f : fields) {
    std::string_view bare = f.property_id;
    if (bare.substr(1, bare.size() - 2) == id) return &f;
  }
  return nullptr;
}

}  // namespace talvenix
