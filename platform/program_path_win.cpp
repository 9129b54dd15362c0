// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include "platform/program_path.hpp"
#include "platform/program_path_win.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::platform {

std::string ModuleFolder(HMODULE module) {
  std::wstring file(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(module, file.data(), static_cast<DWORD>(file.size()));
    if (n == 0) return {};
    if (n < file.size()) {
      file.resize(n);
      break;
    }
    file.resize(file.size() * 2);  // cut short: a longer path
  }
  size_t slash = file.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::string() : Utf8(file.substr(0, slash));
}

std::string ProgramFolder() { return ModuleFolder(nullptr); }

}  // namespace talvenix::platform
