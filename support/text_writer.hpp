#pragma once
// CTextWriter: writes UTF-16 text to an open file in a chosen code page:
// 1200 (UTF-16LE, starting with FF FE), 65001 (UTF-8, starting with EF BB BF)
// or 0, the 8-bit code page (UTF-8 here, no mark). The mark is written once,
// before the first text. Results are HRESULTs: 0, or 0x8007xxxx for a system
// error xxxx. One thread at a time.

#include <cstdint>

namespace talvenix {

constexpr uint32_t kCodePageAnsi = 0;
constexpr uint32_t kCodePageUtf16 = 1200;
constexpr uint32_t kCodePageUtf8 = 65001;

constexpr int32_t kHrPointer = static_cast<int32_t>(0x80004003);     // E_POINTER: not initialised
constexpr int32_t kHrInvalidArg = static_cast<int32_t>(0x80070057);  // E_INVALIDARG: unknown code page
constexpr int32_t HresultFromError(int error) {
  return error > 0 ? static_cast<int32_t>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFF)) : error;
}

class CTextWriter {
 public:
  static constexpr uint32_t kUpToNul = 0xFFFFFFFF;

  // `fd` stays the caller's: the writer never closes it.
  explicit CTextWriter(int fd) : fd_(fd) {}
  virtual ~CTextWriter() = default;

  // Chooses the code page; E_INVALIDARG for one this writer cannot produce.
  virtual int32_t Initialize(uint32_t code_page);
  // Writes `count` characters (kUpToNul: up to the NUL), the mark first if
  // still due. E_POINTER before Initialize.
  virtual int32_t Write(const char16_t* text, uint32_t count);
  // Write, then "\r\n".
  virtual int32_t WriteLine(const char16_t* text, uint32_t count);

 private:
  int fd_;
  uint32_t code_page_ = kCodePageAnsi;
  bool mark_pending_ = true;
  bool initialised_ = false;
};

}  // namespace talvenix
