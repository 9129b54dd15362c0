// SPDX-License-Identifier: Apache-2.0
#pragma once
// Narrow text inside platform/ is UTF-8 on Windows as on POSIX (the module
// turns the host's UTF-16 into UTF-8 before it names files and mailslots);
// these convert it for the system's wide calls. Invalid bytes become U+FFFD.

#include <string>
#include <string_view>

namespace talvenix::platform {

std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);

}  // namespace talvenix::platform
