// SPDX-License-Identifier: Apache-2.0
#pragma once
// The log file backend: four entry points, like an external log library.
// Handles are opaque numbers; a write to a closed or unknown handle is
// dropped. Thread-safe; no entry point fails its caller.

#include <cstdarg>
#include <cstdint>

namespace talvenix::logbackend {

// Opens (or shares) the rotating log file. Returns 0 when it cannot be opened.
uintptr_t Open(const char* source_tag, const char* file_name, int level, uint64_t size_limit);
// Records the line when detail_level <= the handle's level.
bool Records(uintptr_t handle, int detail_level);
void Write(uintptr_t handle, int severity, int detail_level, const char* format, va_list args);
void WriteW(uintptr_t handle, int severity, int detail_level, const char16_t* format, va_list args);
void Close(uintptr_t handle);

}  // namespace talvenix::logbackend
