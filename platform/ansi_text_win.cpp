// SPDX-License-Identifier: Apache-2.0
#include "platform/ansi_text.hpp"

#include <windows.h>

#include "platform/wide_text_win.hpp"

namespace talvenix::platform {

std::string AnsiToUtf8(std::string_view ansi) {
  if (ansi.empty()) return {};
  int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), n);
  return Utf8(wide);
}

}  // namespace talvenix::platform
