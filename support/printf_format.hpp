// SPDX-License-Identifier: Apache-2.0
#pragma once
// printf-style formatting for log lines, narrow and UTF-16 formats alike.
// In a narrow format %s takes a narrow text and %S a UTF-16 text; in a UTF-16
// format %s takes a UTF-16 text and %S a narrow one. The result is UTF-8.
// A malformed conversion is copied to the output as it stands; null text
// arguments print "(null)".

#include <cstdarg>
#include <string>

namespace talvenix {

std::string FormatPrintf(const char* format, va_list args);
std::string FormatPrintf(const char16_t* format, va_list args);

}  // namespace talvenix
