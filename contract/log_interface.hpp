// SPDX-License-Identifier: Apache-2.0
#pragma once
// The logger every component writes through. One instance is shared by the
// whole module and never owned by the components that use it.

#include <cstdarg>
#include <cstdint>

namespace talvenix {

enum class Severity : int { Error = 0, Warning = 1, Information = 2 };

// Detail level of each severity: a line is recorded when its detail level is
// at most the level the log was opened with.
constexpr int DetailLevel(Severity s) { return s == Severity::Error ? 1 : s == Severity::Warning ? 2 : 3; }

class ILogInterface {
 public:
  virtual ~ILogInterface() = default;  // does not close the log

  virtual uintptr_t GetHandle() = 0;
  // Adopts an already opened handle; returns it.
  virtual uintptr_t Attach(uintptr_t handle) = 0;
  // Opens the log unless already opened. Levels outside 0..3 become 1.
  virtual void Open(const char* file_name, const char* source_tag, int level) = 0;
  virtual void Close() = 0;

  // True when a line of this severity would be recorded; lets callers skip
  // formatting. Never fails.
  virtual bool Records(Severity severity) = 0;
  // Formats and records one line. Narrow formats: %s narrow, %S UTF-16.
  // UTF-16 formats: %s UTF-16, %S narrow. Never fails its caller.
  virtual void Write(Severity severity, const char* format, va_list args) = 0;
  virtual void WriteW(Severity severity, const char16_t* format, va_list args) = 0;

  void Info(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Warn(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void InfoW(const char16_t* format, ...);
  void WarnW(const char16_t* format, ...);
  void ErrorW(const char16_t* format, ...);
};

}  // namespace talvenix
