#pragma once
// The one place where text changes encoding. "8-bit" text is UTF-8 here.
// Invalid input never fails: bad sequences become U+FFFD.

#include <cstddef>
#include <string>
#include <string_view>

namespace talvenix {

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// Length of a NUL-terminated UTF-16 text, reading at most `limit` characters.
size_t Utf16Length(const char16_t* text, size_t limit = static_cast<size_t>(-1));

// Bounded copies that always terminate (size in characters, size >= 1).
void CopyBounded(char* destination, size_t size, std::string_view source);
void CopyBounded(char16_t* destination, size_t size, std::u16string_view source);

inline bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace talvenix
