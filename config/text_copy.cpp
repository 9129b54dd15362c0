#include "config/text_copy.hpp"

#include <cstring>

#include "support/text_codec.hpp"

namespace talvenix {

size_t CutLength(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text.size();
  size_t n = limit;
  // Step back over continuation bytes to the start of the cut character.
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

size_t CutLength(std::u16string_view text, size_t limit) {
  if (text.size() <= limit) return text.size();
  size_t n = limit;
  if (n > 0 && IsHighSurrogate(text[n - 1]) && IsLowSurrogate(text[n])) --n;
  return n;
}

bool CopyCut(char* destination, size_t size, std::string_view text) {
  if (!destination || size == 0 || size > kMaxBufferSize) return false;
  size_t n = CutLength(text, size - 1);
  std::memcpy(destination, text.data(), n);
  destination[n] = '\0';
  return true;
}

bool CopyCut(char16_t* destination, size_t size, std::u16string_view text) {
  if (!destination || size == 0 || size > kMaxBufferSize) return false;
  size_t n = CutLength(text, size - 1);
  std::memcpy(destination, text.data(), n * sizeof(char16_t));
  destination[n] = u'\0';
  return true;
}

void AssignUtf16(std::u16string& out, std::string_view utf8) {
  out.resize(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x80) {
      out = Utf8ToUtf16(utf8);
      return;
    }
    out[i] = c;
  }
}

}  // namespace talvenix
