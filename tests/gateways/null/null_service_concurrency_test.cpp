// SPDX-License-Identifier: Apache-2.0
// The null gateway's generator thread and its shutdown.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "common/recording_logger.hpp"
#include "engine/gsm_engine.hpp"
#include "gateways/null/null_service.hpp"
#include "support/text_codec.hpp"

namespace talvenix::testing {
namespace {

using Clock = std::chrono::steady_clock;

struct Received {
  std::mutex mutex;
  std::vector<Clock::time_point> at;
  std::vector<std::string> texts, numbers;
  std::vector<uint32_t> flags, lines, kinds, data_kinds;
  std::vector<uintptr_t> contexts;
};

Received* g_received = nullptr;

int32_t Record(int32_t code, int32_t extra, uint32_t kind, uintptr_t context, void* data, uint32_t data_kind) {
  auto* m = static_cast<TalvexReceivedMessage*>(data);
  std::lock_guard lock(g_received->mutex);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(extra, 0);
  g_received->at.push_back(Clock::now());
  g_received->kinds.push_back(kind);
  g_received->data_kinds.push_back(data_kind);
  g_received->contexts.push_back(context);
  g_received->flags.push_back(m->service_flag);
  g_received->lines.push_back(m->line);
  g_received->texts.push_back(Utf16ToUtf8(m->text.text));
  g_received->numbers.push_back(m->originator.text);
  EXPECT_EQ(m->extra_text1.text[0], u'\0');
  EXPECT_EQ(m->extra_text2.text[0], u'\0');
  EXPECT_GE(m->extra_text2.capacity, 2u);
  return 0;
}

class NullGateway : public ::testing::Test {
 protected:
  void SetUp() override { g_received = &received; }
  void TearDown() override { g_received = nullptr; }
  size_t Count() {
    std::lock_guard lock(received.mutex);
    return received.at.size();
  }
  Received received;
  RecordingLogger log;
};

TEST_F(NullGateway, DeliversAFakeMessageAboutEverySecondAndStopsBeforeUninitReturns) {
  NullService service(&log);
  EXPECT_EQ(service.GetServiceFlags(), kCapReceives);
  auto start = Clock::now();
  ASSERT_EQ(service.ServiceInit(Record, 0xC0FFEE, nullptr), 1);
  EXPECT_EQ(service.ServiceInit(Record, 0xC0FFEE, nullptr), 0);  // no second thread
  while (Count() < 3 && Clock::now() - start < std::chrono::seconds(10))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  service.ServiceUninit();
  size_t after_uninit = Count();
  ASSERT_GE(after_uninit, 3u);

  std::lock_guard lock(received.mutex);
  EXPECT_GE(received.at[0] - start, std::chrono::milliseconds(900));  // first after a second
  EXPECT_GE(received.at[1] - received.at[0], std::chrono::milliseconds(900));
  EXPECT_EQ(received.texts[0], "NULL DRIVER FAKE SMS");
  EXPECT_EQ(received.numbers[0], "88888");
  EXPECT_EQ(received.flags[0], 0u);
  EXPECT_EQ(received.lines[0], 1u);
  EXPECT_EQ(received.kinds[0], uint32_t{TALVEX_EVENT_RECEIVED});
  EXPECT_EQ(received.data_kinds[0], uint32_t{TALVEX_DATA_SMS});
  EXPECT_EQ(received.contexts[0], 0xC0FFEEu);

  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(received.at.size(), after_uninit);  // nothing after ServiceUninit returned
}

TEST_F(NullGateway, UninitReturnsPromptlyAndSendsPauseAndSucceed) {
  NullService service(&log);
  ASSERT_EQ(service.ServiceInit(Record, 0, nullptr), 1);
  auto before = Clock::now();
  EXPECT_EQ(service.ServiceSendSMS(1, 0, nullptr), TALVEX_OK);  // the request is not read
  EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(300));
  EXPECT_TRUE(log.Has(Severity::Information, "NulDrv: sending SMS"));
  service.ServiceUninit();
  EXPECT_FALSE(service.IsServiceInitialized());
  service.ServiceUninit();  // a second stop does nothing
}

TEST_F(NullGateway, EngineBuildsItThroughTheFactoryTable) {
  GSMEngine engine(&log);
  auto service = engine.FactoryConstructGSMService(TALVEX_SERVICE_NULL);
  ASSERT_NE(service, nullptr);
  EXPECT_STREQ(service->GetServiceName(), "NULL GSM Service");
  EXPECT_TRUE(log.HasText("GSMEngine::LoadEngineConfigurations - selected GSM service: NULL GSM Service"));
  for (uint32_t flag : {3u, 5u, 6u, 9u, 0xFFFFFFFFu}) EXPECT_EQ(engine.FactoryConstructGSMService(flag), nullptr);
  EXPECT_TRUE(
      log.Has(Severity::Error, "GSMEngine::LoadEngineConfigurations - Error. selected service flag is invalid/empty."));
}

}  // namespace
}  // namespace talvenix::testing
