// SPDX-License-Identifier: Apache-2.0
// The host's settings read from the registry, typed as the settings file gives them.

#include <gtest/gtest.h>
#include <windows.h>

#include <random>
#include <string>

#include "platform/host_settings.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::platform {
namespace {

// A key of its own under HKEY_CURRENT_USER\Software, removed afterwards.
class RegistrySettings : public ::testing::Test {
 protected:
  void TearDown() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, Wide(root_).c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, Wide(root_).c_str());
  }
  void Set(HKEY hive, const std::string& key, const std::string& name, DWORD type, const void* data, DWORD size) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(hive, Wide(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(handle, Wide(name).c_str(), 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(handle);
  }
  void SetText(HKEY hive, const std::string& key, const std::string& name, const std::string& text) {
    std::wstring wide = Wide(text);
    Set(hive, key, name, REG_SZ, wide.c_str(), static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
  }

  std::string root_ = "Software\\TalvenixTest-" + std::to_string(std::random_device{}());
  HostSettings settings_;
};

const std::string kHostKey(kHostConfigKey);

TEST_F(RegistrySettings, ValuesComeTypedAsTheSettingsFileGivesThem) {
  std::string section = "SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\E2FG";
  std::string proxy = root_ + "\\" + kHostKey + "proxysettings";  // a section of ours, below the host's key
  SetText(HKEY_CURRENT_USER, root_ + "\\" + section, "OutDir", "C:\\out\\d\xC3\xA9p\xC3\xB4t");
  SetText(HKEY_CURRENT_USER, proxy, "proxyserver", "");
  DWORD minus_one = 0xFFFFFFFF, port = 8080;
  Set(HKEY_CURRENT_USER, proxy, "useproxy", REG_DWORD, &minus_one, sizeof minus_one);
  Set(HKEY_CURRENT_USER, proxy, "proxy_port", REG_DWORD, &port, sizeof port);
  Set(HKEY_CURRENT_USER, proxy, "blob", REG_BINARY, &port, sizeof port);

  ASSERT_EQ(settings_.Load("HKEY_CURRENT_USER\\" + root_), HostSettings::Status::kLoaded);
  EXPECT_EQ(settings_.Get("software\\vantrel fax & voice\\orlinda\\config\\e2fg", "outdir"),
            "C:\\out\\d\xC3\xA9p\xC3\xB4t");  // UTF-8, found without regard to case
  EXPECT_EQ(settings_.Get("proxysettings", "useproxy"), "-1");
  EXPECT_EQ(settings_.Get("proxysettings", "Proxy_Port"), "8080");
  EXPECT_EQ(settings_.Get("proxysettings", "proxyserver"), "");  // present, empty
  EXPECT_FALSE(settings_.Get("proxysettings", "blob"));
  EXPECT_FALSE(settings_.Get("proxysettings", "absent"));
  EXPECT_FALSE(settings_.Get(section, "useproxy"));  // values belong to their key

  EXPECT_EQ(settings_.Load("HKEY_CURRENT_USER\\" + root_ + "\\none"), HostSettings::Status::kMissing);
}

// Nobody can make a key at the root of HKEY_LOCAL_MACHINE, and a host that
// runs as a service has its account's user hive: the sections live below the
// host's own key, and the machine's value wins over the user's.
TEST_F(RegistrySettings, SectionsAreBelowTheHostsKeyTheMachinesValueFirst) {
  const std::string name = root_.substr(root_.rfind('\\') + 1);  // a section of this test's own
  const std::string key = kHostKey + name;
  SetText(HKEY_LOCAL_MACHINE, key, "COM3", "machine");
  SetText(HKEY_CURRENT_USER, key, "COM3", "user");
  SetText(HKEY_CURRENT_USER, key, "COM4", "user only");
  SetText(HKEY_CURRENT_USER, name, "COM5", "at the root");                        // not where the settings live
  ASSERT_EQ(settings_.Load("talvenix-host.ini"), HostSettings::Status::kLoaded);  // names no file here
  EXPECT_EQ(settings_.Get(name, "COM3"), "machine");
  EXPECT_EQ(settings_.Get(name, "COM4"), "user only");
  EXPECT_FALSE(settings_.Get(name, "COM5"));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, Wide(key).c_str());
  RegDeleteTreeW(HKEY_CURRENT_USER, Wide(key).c_str());
  RegDeleteTreeW(HKEY_CURRENT_USER, Wide(name).c_str());
}

}  // namespace
}  // namespace talvenix::platform
