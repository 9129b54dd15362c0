// SPDX-License-Identifier: Apache-2.0
#include "contract/log_interface.hpp"

namespace talvenix {

#define TALVENIX_LOG_FORWARD(name, write, severity, char_type) \
  void ILogInterface::name(const char_type* format, ...) {     \
    if (!Records(severity)) return;                            \
    va_list args;                                              \
    va_start(args, format);                                    \
    write(severity, format, args);                             \
    va_end(args);                                              \
  }

TALVENIX_LOG_FORWARD(Info, Write, Severity::Information, char)
TALVENIX_LOG_FORWARD(Warn, Write, Severity::Warning, char)
TALVENIX_LOG_FORWARD(Error, Write, Severity::Error, char)
TALVENIX_LOG_FORWARD(InfoW, WriteW, Severity::Information, char16_t)
TALVENIX_LOG_FORWARD(WarnW, WriteW, Severity::Warning, char16_t)
TALVENIX_LOG_FORWARD(ErrorW, WriteW, Severity::Error, char16_t)

#undef TALVENIX_LOG_FORWARD

}  // namespace talvenix
