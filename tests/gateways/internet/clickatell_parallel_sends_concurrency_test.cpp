// SPDX-License-Identifier: Apache-2.0
// SendSMS on several threads at once through the gateways whose descriptor
// says they take it (the daemon's [queue] parallel relies on it): every part
// of every message reaches the provider once and whole, each thread's
// request keeps its own text, and (under ThreadSanitizer) no data is shared
// without a lock.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_folder.hpp"
#include "gateways/catalog/catalog.hpp"
#include "gateways/internet/clickatell_document.hpp"
#include "hostkit/module.hpp"
#include "peers/http_peer.hpp"
#include "support/text_codec.hpp"

namespace talvenix::testing {
namespace {

// Two parts, each naming its message.
std::string Text(int thread, int message) {
  const std::string name = std::to_string(thread) + "-" + std::to_string(message);
  return name + std::string(170, static_cast<char>('a' + thread)) + name;
}

int32_t Ignore(int32_t, int32_t, uint32_t, uintptr_t, void*, uint32_t) { return 0; }

TEST(ConcurrentSends, OnlyTheGatewaysThatKeepNothingPerCallSaySo) {
  std::map<std::string, bool> concurrent;
  for (const ServiceDescriptor* d : AvailableServices())
    concurrent[d->transport_id] = (d->traits & kTraitConcurrentSends) != 0;
  // The others share a connection, a device session or the document's loader between sends.
  EXPECT_EQ(concurrent, (std::map<std::string, bool>{{"nuldrv", true},
                                                     {"clickatellapi", true},
                                                     {"simple_gsm", false},
                                                     {"gensmtp", false},
                                                     {"gennsm5", false},
                                                     {"messagemediaservice", false},
                                                     {"multitechisms", false}}));
}

TEST(ConcurrentSends, ClickatellSendsEveryPartOfEveryMessageOnceFromEightThreads) {
  HttpPeer provider;
  provider.AnswerAfter(std::chrono::milliseconds(5));
  TempFolder folder{"concurrent-sends"};
  folder.Write("qvsmscomms.xml", ClickatellDocument({"api1", "user", "pw", "Shop"}, provider.base()));
  WorkingFolder cwd{folder.path()};
  host::Module& m = host::Module::Get();
  TalvexGenericOptions* options = nullptr;
  ASSERT_EQ(m.InitTalvex(0, Ignore, &options), TALVEX_OK);

  constexpr int kThreads = 8, kEach = 20;
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        // Two parts: the engine cuts each in this request's own buffer.
        const std::string text = Text(t, i);
        std::u16string buffer = Utf8ToUtf16(text);
        buffer.push_back(0);
        TalvexSmsRequest request{};
        request.text = buffer.data();
        request.text_capacity = static_cast<uint32_t>(buffer.size());
        request.recipient = "+15550100";
        if (m.SendSMS(&request) != TALVEX_OK || Utf16ToUtf8(buffer.c_str()) != text) ++failed;
      }
    });
  for (std::thread& t : threads) t.join();
  m.Unint();

  EXPECT_EQ(failed, 0);
  std::map<std::string, int> parts;
  for (const RecordedRequest& r : provider.requests()) ++parts[r.params.find("text")->second];
  ASSERT_EQ(parts.size(), size_t{2 * kThreads * kEach});
  for (const auto& [text, count] : parts) EXPECT_EQ(count, 1) << text;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEach; ++i) {
      const std::string whole = Text(t, i);
      EXPECT_TRUE(parts.count(whole.substr(0, 160)) && parts.count(whole.substr(160))) << whole;
    }
  EXPECT_GT(provider.most_at_once(), 1) << "the sends did not overlap";
}

}  // namespace
}  // namespace talvenix::testing
