// SPDX-License-Identifier: Apache-2.0
#pragma once
// How values are written in the configuration document. These readings are
// part of the file format: documents written by earlier versions rely on
// them, so they stay exactly as they are (a capital "Yes" is false, "-5"
// reads as 5).

#include <cstdint>
#include <string>
#include <string_view>

namespace talvenix {

// Boolean: true when the text contains "yes" (case-sensitive).
bool ReadsAsYes(std::string_view text);
bool ReadsAsYes(std::u16string_view text);
inline const char* BooleanText(bool value) { return value ? "yes" : "no"; }

// Integer: every character that is not an ASCII digit is dropped and the
// rest read in base 10; nothing left reads as 0. Values beyond the 32-bit
// range stop at INT32_MAX instead of wrapping.
int32_t ReadDigits(std::string_view text);
int32_t ReadDigits(std::u16string_view text);

}  // namespace talvenix
