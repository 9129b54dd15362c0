// SPDX-License-Identifier: Apache-2.0
#pragma once
// Comparisons that ignore the case of ASCII letters only: attribute names
// and transport ids are ASCII, and other letters must not match by accident
// of a locale.

#include <string_view>

namespace talvenix {

template <typename Char>
constexpr Char AsciiLower(Char c) {
  return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

template <typename Char>
constexpr bool EqualsIgnoringCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) { return EqualsIgnoringCase<char>(a, b); }
// With a NUL-terminated `a`, read no further than the first difference.
inline bool EqualsIgnoringCase(const char* a, std::string_view b) {
  size_t i = 0;
  for (; i < b.size(); ++i)
    if (a[i] == '\0' || AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return a[i] == '\0';
}
inline bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return EqualsIgnoringCase<char16_t>(a, b);
}

}  // namespace talvenix
