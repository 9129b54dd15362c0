#include <atomic>

#include "message_media_fixture.hpp"

namespace talvenix::testing {
namespace {

class MessageMediaConcurrency : public MessageMediaFixture {};

// Two host threads send while the poll thread fetches and confirms replies
// and UpdateConfigs rewrites the account: each gSOAP context is used by one
// thread at a time and the settings are read under their lock.
TEST_F(MessageMediaConcurrency, SendsWhileThePollThreadFetches) {
  SoapPeer peer;
  Start(peer.url(), 5);
  std::atomic<int> failures{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 2; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < 15; ++i)
        if (Send(u"message \u4f60\u597d " + Utf8ToUtf16(std::to_string(t * 100 + i))) != TALVEX_OK) ++failures;
    });
  for (uint64_t id = 1; id <= 10; ++id) {
    peer.QueueReplies({{id, "+6140", "reply"}}, id % 2);
    uint32_t mask = 0;
    gateway_->UpdateConfigs(&mask, &options_, 0, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  }
  for (std::thread& s : senders) s.join();
  gateway_->ServiceUninit();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(peer.sent().size(), 30u);
  EXPECT_GT(peer.fetches(), 1);
}

}  // namespace
}  // namespace talvenix::testing
