// SPDX-License-Identifier: Apache-2.0
#pragma once
// A logger for tests: formats every line with the module's own formatter and
// keeps it, so tests can assert on the exact log texts. Thread-safe.

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "contract/log_interface.hpp"
#include "support/printf_format.hpp"

namespace talvenix::testing {

struct LoggedLine {
  Severity severity;
  std::string text;
};

class RecordingLogger : public ILogInterface {
 public:
  uintptr_t GetHandle() override { return 1; }
  uintptr_t Attach(uintptr_t handle) override { return handle; }
  void Open(const char*, const char*, int) override {}
  void Close() override {}
  bool Records(Severity) override { return true; }
  void Write(Severity s, const char* format, va_list args) override { Add(s, FormatPrintf(format, args)); }
  void WriteW(Severity s, const char16_t* format, va_list args) override { Add(s, FormatPrintf(format, args)); }

  std::vector<LoggedLine> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // True when some line of this severity equals `text` exactly.
  bool Has(Severity s, const std::string& text) {
    std::lock_guard lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const LoggedLine& l) { return l.severity == s && l.text == text; });
  }
  bool HasText(const std::string& text) {
    std::lock_guard lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(), [&](const LoggedLine& l) { return l.text == text; });
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  void Add(Severity s, std::string text) {
    std::lock_guard lock(mutex_);
    lines_.push_back({s, std::move(text)});
  }
  std::mutex mutex_;
  std::vector<LoggedLine> lines_;
};

}  // namespace talvenix::testing
