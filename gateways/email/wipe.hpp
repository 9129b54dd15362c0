// SPDX-License-Identifier: Apache-2.0
#pragma once
// Overwrites a secret (a password) with zeros before its memory is given
// back. The writes go through a volatile pointer, so the compiler cannot drop
// them as stores to memory that is never read again.

#include <cstddef>

namespace talvenix {

inline void WipeSecret(void* data, size_t bytes) {
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  for (size_t i = 0; i < bytes; ++i) p[i] = 0;
}

// The whole of a string's characters (its capacity may hold more of an older
// value; those bytes were wiped when that value was replaced).
template <typename String>
void WipeSecret(String& text) {
  WipeSecret(text.data(), text.size() * sizeof(typename String::value_type));
}

}  // namespace talvenix
