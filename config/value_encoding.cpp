// SPDX-License-Identifier: Apache-2.0
#include "config/value_encoding.hpp"

#include <limits>

namespace talvenix {
namespace {

template <typename Char>
int32_t DigitsOf(std::basic_string_view<Char> text) {
  int64_t value = 0;
  for (Char c : text) {
    if (c < Char('0') || c > Char('9')) continue;
    value = value * 10 + (c - Char('0'));
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  }
  return static_cast<int32_t>(value);
}

}  // namespace

bool ReadsAsYes(std::string_view text) { return text.find("yes") != std::string_view::npos; }
bool ReadsAsYes(std::u16string_view text) { return text.find(u"yes") != std::u16string_view::npos; }

int32_t ReadDigits(std::string_view text) { return DigitsOf(text); }
int32_t ReadDigits(std::u16string_view text) { return DigitsOf(text); }

}  // namespace talvenix
