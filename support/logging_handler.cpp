// SPDX-License-Identifier: Apache-2.0
#include "support/logging_handler.hpp"

#include "support/log_backend.hpp"
#include "support/overrides.hpp"

namespace talvenix {
namespace {

int EffectiveLevel(int level) { return LogLevelOverride(level < 0 || level > 3 ? 1 : level); }

}  // namespace

uintptr_t CLoggingHandler::Attach(uintptr_t handle) {
  handle_ = handle;
  level_ = 3;  // the backend filters by the level the handle was opened with
  opened_ = true;
  return handle;
}

void CLoggingHandler::Open(const char* file_name, const char* source_tag, int level) {
  if (opened_.exchange(true)) return;
  int effective = EffectiveLevel(level);
  handle_ = logbackend::Open(source_tag, file_name, effective, kLogSizeLimit);
  level_ = effective;
}

void CLoggingHandler::Close() {
  if (!opened_.exchange(false)) return;
  logbackend::Close(handle_.exchange(0));
}

bool CLoggingHandler::Records(Severity severity) { return opened_ && DetailLevel(severity) <= level_; }

void CLoggingHandler::Write(Severity severity, const char* format, va_list args) {
  if (opened_) logbackend::Write(handle_, static_cast<int>(severity), DetailLevel(severity), format, args);
}

void CLoggingHandler::WriteW(Severity severity, const char16_t* format, va_list args) {
  if (opened_) logbackend::WriteW(handle_, static_cast<int>(severity), DetailLevel(severity), format, args);
}

}  // namespace talvenix
