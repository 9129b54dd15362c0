// SPDX-License-Identifier: Apache-2.0
// The proxy state as read from the host settings file and the environment.

#include "gateways/internet/proxy_settings.hpp"

#include <gtest/gtest.h>

#include "common/recording_logger.hpp"
#include "common/temp_folder.hpp"
#include "gateways/internet/internet_env.hpp"

namespace talvenix::internet {
namespace {

using talvenix::testing::RecordingLogger;

TEST(ProxyPassword, DescramblingUndoesTheHostsScrambling) {
  EXPECT_EQ(DescrambleProxyPassword("3)"), "A");  // ')' + 2 bands - 33 - '{' = 'A'
  EXPECT_EQ(DescrambleProxyPassword("4)"), "A");  // band 3 counts as 2
  EXPECT_EQ(DescrambleProxyPassword("3)x"), "A") << "a selector without a value character is ignored";
  EXPECT_EQ(DescrambleProxyPassword(""), "");
  for (const std::string& plain : {std::string("s3cr&t pass#+"), std::string(120, 'z'), std::string("p\xc3\xa9ss")})
    EXPECT_EQ(DescrambleProxyPassword(talvenix::testing::ScrambleProxyPassword(plain)), plain);
}

class ProxySettingsTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& text) {
    folder_.Write("host.ini", text);
    return (folder_.path() / "host.ini").string();
  }
  bool Load(const std::string& text) { return LoadProxySettings(state_, &log_, Write(text)); }

  talvenix::testing::ScopedEnvironment env_;
  talvenix::testing::TempFolder folder_{"proxy-settings"};
  RecordingLogger log_;
  ProxyState state_;
};

TEST_F(ProxySettingsTest, ConfiguredProxyWithCredentials) {
  ASSERT_TRUE(
      Load("[proxysettings]\nProxy_Enabled=-1\nProxy_Server=proxy\nProxy_Port=8080\n"
           "Proxy_CredentialsEnabled=-1\nProxy_Username=alice\nProxy_Password=" +
           talvenix::testing::ScrambleProxyPassword("wonder land") + "\nProxy_Authentication=0\n"));
  EXPECT_EQ(state_.proxy, "proxy:8080");
  EXPECT_EQ(state_.mode, kProxyNamed);
  EXPECT_TRUE(state_.configured);
  EXPECT_EQ(state_.user_name, "alice");
  EXPECT_EQ(state_.password, "wonder land");
  EXPECT_EQ(state_.auth_scheme, kProxyAuthBasic);

  for (const char* digest : {"1", "5", "-3"}) {
    ASSERT_TRUE(
        Load("[proxysettings]\nProxy_Enabled=-1\nProxy_Server=p\nProxy_Port=3128\n"
             "Proxy_CredentialsEnabled=-1\nProxy_Username=bob\nProxy_Authentication=" +
             std::string(digest) + "\n"));
    EXPECT_EQ(state_.auth_scheme, kProxyAuthDigest) << digest;
  }
}

TEST_F(ProxySettingsTest, OnlyMinusOneSwitchesThingsOn) {
  env_.Set("https_proxy", "http://envproxy:1");
  ASSERT_TRUE(Load("[proxysettings]\nProxy_Enabled=1\nProxy_Server=proxy\nProxy_Port=8080\n"));
  EXPECT_FALSE(state_.configured);
  EXPECT_EQ(state_.proxy, "http://envproxy:1") << "not enabled: the system proxy instead";

  ASSERT_TRUE(
      Load("[proxysettings]\nProxy_Enabled=-1\nProxy_Server=proxy\nProxy_Port=8080\n"
           "Proxy_CredentialsEnabled=true\nProxy_Username=alice\n"));
  EXPECT_TRUE(state_.configured);
  EXPECT_EQ(state_.user_name, "") << "credentials not enabled";
}

TEST_F(ProxySettingsTest, MissingOrMalformedKeysNeverGiveAHalfProxy) {
  for (const char* section :
       {"Proxy_Enabled=-1\nProxy_Port=8080\n", "Proxy_Enabled=-1\nProxy_Server=p\n",
        "Proxy_Enabled=-1\nProxy_Server=p\nProxy_Port=80x\n", "Proxy_Enabled=-1\nProxy_Server=p\nProxy_Port=70000\n",
        "Proxy_Enabled=-1\nProxy_Server=p\nProxy_Port=1\nProxy_CredentialsEnabled=-1\n"
        "Proxy_Authentication=digest\n"}) {
    log_.Clear();
    EXPECT_FALSE(Load(std::string("[proxysettings]\n") + section)) << section;
    EXPECT_FALSE(state_.configured) << section;
    EXPECT_EQ(state_.mode, 0u) << section;
    ASSERT_FALSE(log_.lines().empty());
    EXPECT_EQ(log_.lines()[0].text.rfind("LoadProxySettings failed [0x", 0), 0u) << log_.lines()[0].text;
  }
  EXPECT_FALSE(Load("[proxysettings\nProxy_Enabled=-1\n")) << "a malformed file";
}

TEST_F(ProxySettingsTest, WithoutAFileTheEnvironmentNamesTheProxy) {
  EXPECT_TRUE(LoadProxySettings(state_, &log_, (folder_.path() / "absent.ini").string()));
  EXPECT_EQ(state_.mode, 0u);

  env_.Set("HTTP_PROXY", "http://plain:8");
  env_.Set("ALL_PROXY", "http://every:9");
  env_.Set("no_proxy", "localhost,.internal");
  ASSERT_TRUE(LoadSystemProxySettings(state_, "http://x/"));
  EXPECT_EQ(state_.proxy, "http://plain:8");
  EXPECT_EQ(state_.bypass_list, "localhost,.internal");
  ASSERT_TRUE(LoadSystemProxySettings(state_, "https://x/"));
  EXPECT_EQ(state_.proxy, "http://every:9") << "no https_proxy: all_proxy";
  env_.Set("https_proxy", "http://secure:7");
  ASSERT_TRUE(LoadSystemProxySettings(state_, "https://x/"));
  EXPECT_EQ(state_.proxy, "http://secure:7");
  EXPECT_EQ(state_.mode, kProxyNamed);

  env_.Unset("https_proxy");
  env_.Unset("ALL_PROXY");
  env_.Unset("no_proxy");
  ASSERT_TRUE(LoadSystemProxySettings(state_, "https://x/"));
  EXPECT_EQ(state_.mode, 0u) << "read afresh: a removed variable is gone";
  EXPECT_EQ(state_.bypass_list, "");
}

}  // namespace
}  // namespace talvenix::internet
