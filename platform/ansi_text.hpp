// SPDX-License-Identifier: Apache-2.0
#pragma once
// The host's 8-bit text (a recipient's number) is in the system's ANSI code
// page: UTF-8 on POSIX, the active code page on Windows. This turns it into
// the UTF-8 that the rest of the module works in.

#include <string>
#include <string_view>

namespace talvenix::platform {

// Bytes the code page does not map become U+FFFD.
std::string AnsiToUtf8(std::string_view ansi);

}  // namespace talvenix::platform
