// SPDX-License-Identifier: Apache-2.0
#include "support/text_codec.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace talvenix {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Windows-1252 bytes 0x80-0x9F; 0 where the byte is unused.
constexpr char16_t kWindows1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                           0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((char32_t(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 0x6 ? 1 : (b >> 4) == 0xE ? 2 : (b >> 3) == 0x1E ? 3 : -1;
    if (extra < 0 || i + extra >= text.size()) {
      AppendUtf16(out, extra == 0 ? b : kReplacement);
      ++i;
      continue;
    }
    char32_t cp = extra == 0 ? b : b & (0x3F >> extra);
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      unsigned char cont = static_cast<unsigned char>(text[i + k]);
      if ((cont & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (cont & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (!ok || cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      AppendUtf16(out, kReplacement);
      ++i;
      continue;
    }
    AppendUtf16(out, cp);
    i += extra + 1;
  }
  return out;
}

void AssignUtf16(std::u16string& out, std::string_view text) {
  // A buffer that holds the text already (ASCII compares unit by unit) is
  // left as it is: lists filled again from the same document mostly are.
  if (out.size() == text.size() &&
      std::equal(text.begin(), text.end(), out.begin(), [](char c, char16_t u) { return c == u && c >= 0; }))
    return;
  out.resize(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      out = Utf8ToUtf16(text);
      return;
    }
    out[i] = c;
  }
}

size_t Utf16Length(const char16_t* text, size_t limit) {
  if (!text) return 0;
  size_t n = 0;
  // With a known buffer size, four characters at a time (a zero half-word
  // sets its top bit); reading past the NUL stays inside the buffer then.
  constexpr uint64_t kOnes = 0x0001000100010001ULL, kHighs = 0x8000800080008000ULL;
  while (limit != static_cast<size_t>(-1) && limit - n >= 4) {
    uint64_t v;
    std::memcpy(&v, text + n, sizeof v);
    if ((v - kOnes) & ~v & kHighs) break;
    n += 4;
  }
  while (n < limit && text[n]) ++n;
  return n;
}

size_t CutLength(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text.size();
  size_t n = limit;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;  // back to a lead byte
  return n;
}

size_t CutLength(std::u16string_view text, size_t limit) {
  if (text.size() <= limit) return text.size();
  size_t n = limit;
  if (n > 0 && IsHighSurrogate(text[n - 1]) && IsLowSurrogate(text[n])) --n;
  return n;
}

bool CopyBounded(char* destination, size_t size, std::string_view source) {
  if (!destination || size == 0 || size > kMaxBufferSize) return false;
  size_t n = CutLength(source, size - 1);
  std::memcpy(destination, source.data(), n);
  destination[n] = '\0';
  return true;
}

bool CopyBounded(char16_t* destination, size_t size, std::u16string_view source) {
  if (!destination || size == 0 || size > kMaxBufferSize) return false;
  size_t n = CutLength(source, size - 1);
  std::memcpy(destination, source.data(), n * sizeof(char16_t));
  destination[n] = u'\0';
  return true;
}

std::string PercentDecode(std::string_view text) {
  auto hex = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

namespace {

char32_t CodePointOfByte(unsigned char byte, SingleByteCharset set) {
  if (set == SingleByteCharset::kWindows1252 && byte >= 0x80 && byte < 0xA0 && kWindows1252High[byte - 0x80])
    return kWindows1252High[byte - 0x80];
  return byte;
}

int ByteOfCodePoint(char32_t cp, SingleByteCharset set) {
  if (set == SingleByteCharset::kWindows1252) {
    for (int i = 0; i < 32; ++i)
      if (kWindows1252High[i] == cp) return 0x80 + i;
    if (cp >= 0x80 && cp < 0xA0 && kWindows1252High[cp - 0x80]) return -1;  // that byte means another character
  }
  return cp < 0x100 ? static_cast<int>(cp) : -1;
}

}  // namespace

std::string SingleByteToUtf8(std::string_view text, SingleByteCharset set) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) AppendUtf8(out, CodePointOfByte(static_cast<unsigned char>(c), set));
  return out;
}

std::string Utf8ToSingleByte(std::string_view text, SingleByteCharset set,
                             void (*lacking)(std::string& out, char32_t)) {
  std::u16string units = Utf8ToUtf16(text);
  std::string out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t cp = units[i];
    if (IsHighSurrogate(units[i]) && i + 1 < units.size() && IsLowSurrogate(units[i + 1]))
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
    if (int byte = ByteOfCodePoint(cp, set); byte >= 0)
      out += static_cast<char>(byte);
    else
      lacking(out, cp);
  }
  return out;
}

}  // namespace talvenix
