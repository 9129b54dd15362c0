// SPDX-License-Identifier: Apache-2.0
#pragma once
// CTextWriter: writes UTF-16 text to an open file in a chosen code page:
// 1200 (UTF-16LE, starting with FF FE), 65001 (UTF-8, starting with EF BB BF)
// or 0, the 8-bit code page (UTF-8 here, no mark). The mark is written once,
// before the first text. One thread at a time.

#include <cstdint>

#include "platform/error.hpp"
#include "platform/native_handle.hpp"

namespace talvenix {

constexpr uint32_t kCodePageAnsi = 0;
constexpr uint32_t kCodePageUtf16 = 1200;
constexpr uint32_t kCodePageUtf8 = 65001;

class CTextWriter {
 public:
  static constexpr uint32_t kUpToNul = 0xFFFFFFFF;

  // `fd` stays the caller's: the writer never closes it.
  explicit CTextWriter(platform::NativeHandle fd) : fd_(fd) {}
  virtual ~CTextWriter() = default;

  // Chooses the code page; kNotSupported for one this writer cannot produce.
  virtual platform::Error Initialize(uint32_t code_page);
  // Writes `count` characters (kUpToNul: up to the NUL), the mark first if
  // still due. kShutDown before Initialize, kInvalidArgument without text,
  // else what the file reported.
  virtual platform::Error Write(const char16_t* text, uint32_t count);
  // Write, then "\r\n".
  virtual platform::Error WriteLine(const char16_t* text, uint32_t count);

 private:
  platform::NativeHandle fd_;
  uint32_t code_page_ = kCodePageAnsi;
  bool mark_pending_ = true;
  bool initialised_ = false;
};

}  // namespace talvenix
