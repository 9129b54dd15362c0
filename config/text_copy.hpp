#pragma once
// Bounded copies into the callers' fixed-size buffers. A text that does not
// fit is cut to size-1 characters and terminated; the cut never splits a
// UTF-8 sequence or a UTF-16 surrogate pair, so a cut text is still valid.

#include <cstddef>
#include <string>
#include <string_view>

namespace talvenix {

// Sizes above this are refused: nothing is copied and the result is false.
constexpr size_t kMaxBufferSize = 0x7FFFFFFF;

bool CopyCut(char* destination, size_t size, std::string_view text);
bool CopyCut(char16_t* destination, size_t size, std::u16string_view text);

// Length of the longest prefix of at most `limit` units that ends on a
// character boundary.
size_t CutLength(std::string_view text, size_t limit);
size_t CutLength(std::u16string_view text, size_t limit);

// out = the UTF-16 form of utf8, reusing out's storage. ASCII, the common
// case, is copied as it is; anything else goes through the text codec.
void AssignUtf16(std::u16string& out, std::string_view utf8);

}  // namespace talvenix
