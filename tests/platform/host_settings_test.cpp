// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>

#include "common/temp_folder.hpp"
#include "platform/host_settings.hpp"

namespace talvenix::platform {
namespace {

constexpr const char* kSection = "SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\E2FG";

class HostSettingsTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& text) {
    temp_.Write("host.ini", text);
    return (temp_.path() / "host.ini").string();
  }
  testing::TempFolder temp_{"host-settings"};
  HostSettings settings_;
};

TEST_F(HostSettingsTest, ValuesAreFoundWithoutRegardToCase) {
  auto path = Write(
      "; host settings\n"
      "[SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\E2FG]\n"
      "OutDir = /var/spool/out dir\n"
      "[proxysettings]\n"
      "useproxy = -1\n"
      "proxyserver =\n");
  ASSERT_EQ(settings_.Load(path), HostSettings::Status::kLoaded);
  EXPECT_EQ(settings_.Get("software\\vantrel fax & voice\\orlinda\\config\\e2fg", "outdir"), "/var/spool/out dir");
  EXPECT_EQ(settings_.Get("proxysettings", "useproxy"), "-1");
  EXPECT_EQ(settings_.Get("proxysettings", "proxyserver"), "");  // present, empty
  EXPECT_FALSE(settings_.Get("proxysettings", "proxyport"));
  EXPECT_FALSE(settings_.Get(kSection, "useproxy"));  // keys belong to their section
}

TEST_F(HostSettingsTest, MissingOrMalformedFilesGiveNoValues) {
  EXPECT_EQ(settings_.Load((temp_.path() / "none.ini").string()), HostSettings::Status::kMissing);
  EXPECT_FALSE(settings_.Get(kSection, "outdir"));

  auto path = Write(std::string("[") + kSection + "]\noutdir = /good\nthis line is no setting\n");
  EXPECT_EQ(settings_.Load(path), HostSettings::Status::kMalformed);
  EXPECT_EQ(settings_.error_line(), 3);
  EXPECT_FALSE(settings_.Get(kSection, "outdir"));  // not even the good line before it
}

// A scrambled proxy password of 100 characters already passes 200 bytes: a
// line cut there would drop the proxy section and send around the proxy.
TEST_F(HostSettingsTest, LinesOfAnyLengthAreReadWhole) {
  std::string password(8192, 'p');
  password[100] = ';';  // no blank before it: part of the value, not a comment
  auto path = Write("\xEF\xBB\xBF[proxysettings]\r\nProxy_Password=" + password +
                    "\r\nProxy_Server: proxy.example ; the office proxy\r\n");
  ASSERT_EQ(settings_.Load(path), HostSettings::Status::kLoaded);
  EXPECT_EQ(settings_.Get("proxysettings", "proxy_password"), password);
  EXPECT_EQ(settings_.Get("proxysettings", "proxy_server"), "proxy.example");
}

}  // namespace
}  // namespace talvenix::platform
