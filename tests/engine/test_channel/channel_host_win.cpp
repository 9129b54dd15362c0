// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include <random>
#include <stdexcept>

#include "channel_host.hpp"
#include "platform/system_calls.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::testing {

using platform::Wide;

// The host settings read every section below a key of the test's own when
// TALVENIX_HOST_SETTINGS names one under HKEY_CURRENT_USER.
ChannelHost::ChannelHost(const std::filesystem::path& folder)
    : folder_(folder), key_("Software\\TalvenixTest-" + std::to_string(std::random_device{}())) {
  setenv("TALVENIX_HOST_SETTINGS", ("HKEY_CURRENT_USER\\" + key_).c_str(), 1);
}

ChannelHost::~ChannelHost() {
  RemoveSettings();
  unsetenv("TALVENIX_HOST_SETTINGS");
}

void ChannelHost::SetOutgoingFolder(const std::string& outdir) {
  std::wstring key = Wide(key_ + "\\SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\E2FG");
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr) !=
      ERROR_SUCCESS)
    throw std::runtime_error("cannot make the test's registry key");
  std::wstring value = Wide(outdir);
  LSTATUS status = RegSetValueExW(handle, L"outdir", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  if (status != ERROR_SUCCESS) throw std::runtime_error("cannot set the test's outdir");
}

void ChannelHost::RemoveSettings() { RegDeleteTreeW(HKEY_CURRENT_USER, Wide(key_).c_str()); }

void DieAtTheNextFileWrite() {
  platform::g_system_calls.write_file = [](HANDLE, const void*, DWORD, DWORD*, OVERLAPPED*) -> bool {
    TerminateProcess(GetCurrentProcess(), kKilledExitCode);
    return false;
  };
}

const int kNoSuchFolderError = ERROR_PATH_NOT_FOUND;
const int kMailslotTakenError = ERROR_ALREADY_EXISTS;

// The program runs under the same Wine as the test, and inherits its
// environment (the host settings key).
int RunHostProgram(const std::vector<std::string>& args) {
  std::wstring command = L"\"" + Wide(std::string(TALVENIX_BINARY_DIR) + "/bin/talvenix.exe") + L"\"";
  for (const std::string& a : args) command += L" \"" + Wide(a) + L"\"";  // no quotes inside, in these tests
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return -1;
  CloseHandle(process.hThread);
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.hProcess, &code)) {
    TerminateProcess(process.hProcess, 1);
    code = static_cast<DWORD>(-1);
  }
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

}  // namespace talvenix::testing
