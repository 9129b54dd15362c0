// SPDX-License-Identifier: Apache-2.0
#pragma once
// The module's logger over the log backend. One instance per loaded module.
// Open/Close are called from the host's thread; the writing operations may be
// called from any thread at any time and never fail the caller.

#include <atomic>

#include "contract/log_interface.hpp"

namespace talvenix {

constexpr unsigned kLogSizeLimit = 0x500000;
constexpr const char* kLogFileName = "Talvenix.log";
constexpr const char* kLogSourceTag = "TALVEX";

class CLoggingHandler : public ILogInterface {
 public:
  CLoggingHandler() = default;
  ~CLoggingHandler() override = default;  // does not close the log

  uintptr_t GetHandle() override { return handle_.load(); }
  uintptr_t Attach(uintptr_t handle) override;
  // Levels outside 0..3 become 1; TALVENIX_LOG_LEVEL (0-3) overrides the level.
  void Open(const char* file_name, const char* source_tag, int level) override;
  void Close() override;

  bool Records(Severity severity) override;
  void Write(Severity severity, const char* format, va_list args) override;
  void WriteW(Severity severity, const char16_t* format, va_list args) override;

 private:
  std::atomic<uintptr_t> handle_{0};
  std::atomic<bool> opened_{false};
  std::atomic<int> level_{0};  // cached so filtered lines cost one load
};

}  // namespace talvenix
