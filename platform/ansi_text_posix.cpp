// SPDX-License-Identifier: Apache-2.0
#include "platform/ansi_text.hpp"

namespace talvenix::platform {

// The code page is UTF-8 here; the text's readers replace what does not decode.
std::string AnsiToUtf8(std::string_view ansi) { return std::string(ansi); }

}  // namespace talvenix::platform
