// SPDX-License-Identifier: Apache-2.0
#include "engine/test_channel/text_writer.hpp"

#include <string>
#include <string_view>

#include "platform/file.hpp"
#include "support/text_codec.hpp"

namespace talvenix {

using platform::Error;
using platform::ErrorKind;

Error CTextWriter::Initialize(uint32_t code_page) {
  if (code_page != kCodePageAnsi && code_page != kCodePageUtf16 && code_page != kCodePageUtf8)
    return Error(ErrorKind::kNotSupported);
  code_page_ = code_page;
  initialised_ = true;
  return platform::kNoError;
}

Error CTextWriter::Write(const char16_t* text, uint32_t count) {
  if (!initialised_) return Error(ErrorKind::kShutDown);
  if (!text) return Error(ErrorKind::kInvalidArgument);
  std::u16string_view view(text, count == kUpToNul ? Utf16Length(text) : count);
  std::string bytes;
  if (mark_pending_) {
    mark_pending_ = false;
    if (code_page_ == kCodePageUtf16)
      bytes = "\xFF\xFE";
    else if (code_page_ == kCodePageUtf8)
      bytes = "\xEF\xBB\xBF";
  }
  if (code_page_ == kCodePageUtf16) {
    bytes.reserve(bytes.size() + view.size() * 2);
    for (char16_t c : view) {  // little-endian whatever the machine
      bytes += static_cast<char>(c & 0xFF);
      bytes += static_cast<char>(c >> 8);
    }
  } else {
    bytes += Utf16ToUtf8(view);
  }
  return platform::WriteAll(fd_, bytes.data(), bytes.size());
}

Error CTextWriter::WriteLine(const char16_t* text, uint32_t count) {
  if (Error error = Write(text, count)) return error;
  return Write(u"\r\n", 2);
}

}  // namespace talvenix
