// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include <vector>

#include "platform/host_settings.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::platform {
namespace {

constexpr std::string_view kTestRoot = "HKEY_CURRENT_USER\\";
// A section from here is a whole key path; any other is below kHostConfigKey.
constexpr std::string_view kSoftware = "SOFTWARE\\";

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != prefix[i]) return false;
  }
  return true;
}

// One value as the INI reader would give it; nothing when absent or of a
// type that has no text (binary, lists).
std::optional<std::string> ReadValue(HKEY hive, const std::wstring& key_path, const std::wstring& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(hive, key_path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
  DWORD type = 0, size = 0;
  std::optional<std::string> text;
  LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
  std::vector<BYTE> data;
  // A value may grow between the two calls: ask again with the new size.
  while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
    data.resize(size + sizeof(wchar_t));
    status = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
    if (status != ERROR_SUCCESS) continue;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      std::wstring_view wide(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
      while (!wide.empty() && wide.back() == L'\0') wide.remove_suffix(1);
      text = Utf8(wide);
    } else if (type == REG_DWORD && size == sizeof(DWORD)) {
      text = std::to_string(*reinterpret_cast<const int32_t*>(data.data()));
    } else if (type == REG_QWORD && size == sizeof(uint64_t)) {
      text = std::to_string(*reinterpret_cast<const int64_t*>(data.data()));
    }
    break;
  }
  RegCloseKey(key);
  return text;
}

}  // namespace

HostSettings::Status HostSettings::Load(const std::string& path) {
  root_.clear();
  error_line_ = 0;
  error_ = kNoError;
  if (!StartsWithIgnoringCase(path, kTestRoot)) return Status::kLoaded;
  root_ = path.substr(kTestRoot.size());
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, Wide(root_).c_str(), 0, KEY_READ, &key);
  if (status == ERROR_SUCCESS) {
    RegCloseKey(key);
    return Status::kLoaded;
  }
  error_ = ErrorFromSystem(static_cast<int>(status));
  return status == ERROR_FILE_NOT_FOUND ? Status::kMissing : Status::kUnreadable;
}

// The machine's value comes first: an administrator sets it for every user,
// and a host running as a service has a user hive of its own account. A
// 32-bit module sees the machine's SOFTWARE key as 32-bit programs do (under
// WOW6432Node on 64-bit Windows), as its 32-bit host does.
std::optional<std::string> HostSettings::Get(std::string_view section, std::string_view key) const {
  std::wstring name = Wide(key);
  std::string path = StartsWithIgnoringCase(section, kSoftware) ? std::string(section)
                                                                : std::string(kHostConfigKey) + std::string(section);
  if (!root_.empty()) return ReadValue(HKEY_CURRENT_USER, Wide(root_ + "\\" + path), name);
  std::wstring key_path = Wide(path);
  if (auto value = ReadValue(HKEY_LOCAL_MACHINE, key_path, name)) return value;
  return ReadValue(HKEY_CURRENT_USER, key_path, name);
}

}  // namespace talvenix::platform
