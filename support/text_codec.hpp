// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one place where text changes encoding. "8-bit" text is UTF-8 here.
// Invalid input never fails: bad sequences become U+FFFD.

#include <cstddef>
#include <string>
#include <string_view>

namespace talvenix {

inline bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
// out = Utf8ToUtf16(text), reusing out's storage; ASCII takes a fast path,
// and an `out` that holds the text already is not written.
void AssignUtf16(std::u16string& out, std::string_view text);

// Length of a NUL-terminated UTF-16 text, reading at most `limit` characters.
size_t Utf16Length(const char16_t* text, size_t limit = static_cast<size_t>(-1));

// Bounded copies into fixed-size buffers (size in characters). A text that
// does not fit is cut to size-1 characters, never inside a UTF-8 sequence or
// a surrogate pair, and always terminated. False, with nothing copied, for a
// null destination, a size of 0, or a size above kMaxBufferSize.
constexpr size_t kMaxBufferSize = 0x7FFFFFFF;
bool CopyBounded(char* destination, size_t size, std::string_view source);
bool CopyBounded(char16_t* destination, size_t size, std::u16string_view source);

// Length of the longest prefix of at most `limit` units that ends on a
// character boundary.
size_t CutLength(std::string_view text, size_t limit);
size_t CutLength(std::u16string_view text, size_t limit);

// "%" and two hexadecimal digits become that byte; anything else, a lone "%"
// included, is kept as it is.
std::string PercentDecode(std::string_view text);

// Single-byte character sets: ISO-8859-1, and Windows-1252, which puts
// letters and signs where ISO-8859-1 has the C1 controls (its five unused
// bytes keep their ISO-8859-1 meaning, as Windows reads them).
enum class SingleByteCharset { kLatin1, kWindows1252 };
std::string SingleByteToUtf8(std::string_view text, SingleByteCharset set);
// UTF-8 text in `set`; a character the set lacks is written by `lacking`.
std::string Utf8ToSingleByte(std::string_view text, SingleByteCharset set, void (*lacking)(std::string& out, char32_t));

}  // namespace talvenix
