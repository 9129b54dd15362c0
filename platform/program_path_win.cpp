#include <windows.h>

#include "platform/program_path.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::platform {

std::string ProgramFolder() {
  std::wstring file(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, file.data(), static_cast<DWORD>(file.size()));
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

}  // namespace talvenix::platform
