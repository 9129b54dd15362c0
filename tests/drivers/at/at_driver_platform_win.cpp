// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include <cstdlib>

#include "drivers/at/at_driver_platform.hpp"
#include "platform/error.hpp"
#include "platform/host_settings.hpp"
#include "platform/serial_port.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::testing {
namespace {

std::string RegistryKey(const TempFolder& folder) {
  return "Software\\Talvenix tests\\" + folder.path().filename().string();
}

}  // namespace

std::string ModemDevice(const TempFolder&, int port) {
  const char* base = std::getenv("TALVENIX_TEST_COM_BASE");
  return "\\\\.\\COM" + std::to_string((base ? std::atoi(base) : 100) + port);
}

std::string HostSettingsLocation(const TempFolder& folder) { return "HKEY_CURRENT_USER\\" + RegistryKey(folder); }

void WriteHostSettings(const TempFolder& folder, const std::string& ini) {
  RemoveHostSettings(folder);
  std::string key = RegistryKey(folder), section;
  HKEY root = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, platform::Wide(key).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &root, nullptr);
  if (root) RegCloseKey(root);
  size_t start = 0;
  while (start < ini.size()) {
    size_t end = ini.find('\n', start);
    if (end == std::string::npos) end = ini.size();
    std::string line = ini.substr(start, end - start);
    start = end + 1;
    size_t eq = line.find('=');
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      if (section.rfind("SOFTWARE\\", 0) != 0) section = std::string(platform::kHostConfigKey) + section;
    } else if (eq != std::string::npos && !section.empty()) {
      HKEY handle = nullptr;
      if (RegCreateKeyExW(HKEY_CURRENT_USER, platform::Wide(key + "\\" + section).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                          nullptr, &handle, nullptr) != ERROR_SUCCESS)
        continue;
      std::wstring value = platform::Wide(line.substr(eq + 1));
      RegSetValueExW(handle, platform::Wide(line.substr(0, eq)).c_str(), 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
      RegCloseKey(handle);
    }
  }
}

void RemoveHostSettings(const TempFolder& folder) {
  RegDeleteTreeW(HKEY_CURRENT_USER, platform::Wide(RegistryKey(folder)).c_str());
}

// Another program of ours with the port open: the port's claim keeps the
// driver out, as the system keeps out a second opener of a COM port.
struct DeviceHold::Holder {
  std::string device;
  platform::SerialPort port;
};

DeviceHold::DeviceHold(const std::string& device) : holder_(std::make_unique<Holder>()) {
  holder_->device = device;
  holder_->port.Open(device, 9600);
}

DeviceHold::~DeviceHold() = default;

bool DeviceHold::held() const { return holder_->port.is_open(); }

std::string DeviceHold::LogNote() const {
  return holder_->device + ": " + platform::ErrorFromSystem(ERROR_ACCESS_DENIED).Describe();
}

}  // namespace talvenix::testing
