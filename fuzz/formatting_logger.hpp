// SPDX-License-Identifier: Apache-2.0
#pragma once
// A logger for fuzz targets: formats every line, so the log texts meet the
// fuzzed bytes too, and throws the result away.

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "contract/log_interface.hpp"
#include "support/printf_format.hpp"

namespace talvenix {

class FormattingLogger : public ILogInterface {
 public:
  uintptr_t GetHandle() override { return 0; }
  uintptr_t Attach(uintptr_t handle) override { return handle; }
  void Open(const char*, const char*, int) override {}
  void Close() override {}
  bool Records(Severity) override { return true; }
  void Write(Severity, const char* format, va_list args) override { sink_ += FormatPrintf(format, args).size(); }
  void WriteW(Severity, const char16_t* format, va_list args) override { sink_ += FormatPrintf(format, args).size(); }

 private:
  size_t sink_ = 0;
};

}  // namespace talvenix
