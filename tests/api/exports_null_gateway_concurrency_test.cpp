// SPDX-License-Identifier: Apache-2.0
// The module end to end on the bundled default configuration (the null
// gateway), loaded through dlopen: sends, fake incoming messages, Update and
// a shutdown that waits for a callback in progress.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "common/temp_folder.hpp"
#include "hostkit/module.hpp"
#include "support/text_codec.hpp"

namespace talvenix::testing {
namespace {

using Clock = std::chrono::steady_clock;
using host::Module;

std::atomic<int> g_messages{0};
std::atomic<bool> g_in_callback{false};
std::atomic<int> g_slow_ms{0};
std::atomic<uintptr_t> g_context{0};

int32_t CountMessages(int32_t, int32_t, uint32_t kind, uintptr_t context, void* data, uint32_t data_kind) {
  g_in_callback = true;
  auto* m = static_cast<TalvexReceivedMessage*>(data);
  if (kind == TALVEX_EVENT_RECEIVED && data_kind == TALVEX_DATA_SMS && m &&
      Utf16ToUtf8(m->text.text) == "NULL DRIVER FAKE SMS")
    ++g_messages;
  g_context = context;
  std::this_thread::sleep_for(std::chrono::milliseconds(g_slow_ms.load()));
  g_in_callback = false;
  return 0;
}

class NullGatewayModule : public ::testing::Test {
 protected:
  void SetUp() override {
    g_messages = 0;
    g_slow_ms = 0;
    std::filesystem::copy_file(std::filesystem::path(TALVENIX_SOURCE_DIR) / "examples" / "qvsmscomms.xml",
                               folder.path() / "qvsmscomms.xml");
  }
  void TearDown() override { m.Unint(); }
  void SetOption(const std::string& name, const std::string& value) {
    std::string doc = folder.Read("qvsmscomms.xml");
    std::regex option("(<option name=\"" + name + "\" value=\")[^\"]*\"");
    folder.Write("qvsmscomms.xml", std::regex_replace(doc, option, "$01" + value + "\""));
  }
  bool WaitFor(int messages, std::chrono::seconds limit) {
    auto end = Clock::now() + limit;
    while (g_messages < messages && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return g_messages >= messages;
  }

  Module& m = Module::Get();
  TempFolder folder{"null-module"};
  WorkingFolder cwd{folder.path()};
  TalvexGenericOptions* options = nullptr;
};

TEST_F(NullGatewayModule, SendsReceivesAndStops) {
  ASSERT_EQ(m.InitTalvex(0xABCD, CountMessages, &options), TALVEX_OK);
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->service_flag, uint32_t{TALVEX_SERVICE_NULL});
  EXPECT_STREQ(options->transport_id, "nuldrv");
  EXPECT_EQ(m.InitTalvex(0xABCD, CountMessages, &options), TALVEX_FAILED);  // already running

  std::u16string text(400, u'x');
  std::vector<char16_t> buffer(text.begin(), text.end());
  buffer.push_back(0);
  TalvexSmsRequest request{};
  request.text = buffer.data();
  request.text_capacity = static_cast<uint32_t>(buffer.size());
  request.recipient = "+15550100";
  auto before = Clock::now();
  EXPECT_EQ(m.SendSMS(&request), TALVEX_OK);
  EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(900));  // three parts, 300 ms each
  EXPECT_EQ(std::u16string(buffer.data()), text);
  EXPECT_EQ(m.SendSMS(nullptr), TALVEX_INVALID_PARAMETER);

  ASSERT_TRUE(WaitFor(2, std::chrono::seconds(10)));
  EXPECT_EQ(g_context.load(), 0xABCDu);
  m.Unint();
  int after = g_messages;
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_EQ(g_messages, after);
  EXPECT_EQ(m.SendSMS(&request), TALVEX_NOT_INITIALISED);
}

TEST_F(NullGatewayModule, UnintWaitsForACallbackInProgress) {
  g_slow_ms = 400;
  ASSERT_EQ(m.InitTalvex(0, CountMessages, &options), TALVEX_OK);
  auto end = Clock::now() + std::chrono::seconds(10);
  while (!g_in_callback && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(g_in_callback);
  m.Unint();
  EXPECT_FALSE(g_in_callback);  // the gateway thread finished its callback before Unint returned
}

TEST_F(NullGatewayModule, UpdateTakesOverOptionsOrAsksForARestart) {
  ASSERT_EQ(m.InitTalvex(0, CountMessages, &options), TALVEX_OK);
  TalvexGenericOptions* in_out = options;
  uint32_t mask = 0;
  EXPECT_EQ(m.Update(&mask, 1, 1, &in_out), TALVEX_UPDATE_APPLIED);
  EXPECT_EQ(mask, 0u);

  SetOption("maxsmschars", "100");
  EXPECT_EQ(m.Update(&mask, 1, 1, &in_out), TALVEX_UPDATE_APPLIED);
  EXPECT_EQ(mask, uint32_t{TALVEX_OPT_MAXSMSCHARS});
  EXPECT_EQ(in_out, options);
  EXPECT_EQ(options->maxsmschars, 100);

  mask = 0;
  SetOption("selectedservice", "GSM modem lines");
  EXPECT_EQ(m.Update(&mask, 1, 1, &in_out), TALVEX_UPDATE_RESTART);
  EXPECT_EQ(mask, uint32_t{TALVEX_OPT_SELECTEDSERVICE});
  EXPECT_EQ(options->service_flag, uint32_t{TALVEX_SERVICE_NULL});  // the running gateway is untouched
}

TEST_F(NullGatewayModule, DisabledEngineAnswers121AndStaysStopped) {
  SetOption("enableengine", "no");
  EXPECT_EQ(m.InitTalvex(0, CountMessages, &options), TALVEX_ENGINE_DISABLED);
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->enableengine, 0);
  TalvexSmsRequest request{};
  EXPECT_EQ(m.SendSMS(&request), TALVEX_NOT_INITIALISED);
}

}  // namespace
}  // namespace talvenix::testing
