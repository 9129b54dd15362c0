// SPDX-License-Identifier: Apache-2.0
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

// The host stops the gateway while a send's answer trickles in: the send
// ends at once instead of at its deadline.
TEST_F(MessageMediaConcurrency, UninitCutsATricklingSendShort) {
  SoapPeer peer;
  Start(peer.url());
  peer.TrickleAnswers(30);  // the whole answer would take some 15 s
  std::atomic<int32_t> result{-1};
  std::thread sender([&] { result = Send(u"hi"); });
  const bool trickling = WaitFor([&] {
    for (const std::string& e : peer.events())
      if (e == "trickle") return true;
    return false;
  });
  gateway_->ServiceUninit();
  sender.join();
  EXPECT_TRUE(trickling);
  EXPECT_EQ(result.load(), TALVEX_FAILED);
  EXPECT_TRUE(LogContains("SendMessage - SOAP error >> cut short: the service is stopping."));
}

// The host's callback holds the first of five replies until the host has
// begun to stop the gateway.
struct StopDuringFirstReply {
  MessageMediaService* gateway = nullptr;
  std::atomic<int> calls{0};
};

int32_t TALVEX_CALL WaitForUninit(int32_t, int32_t, uint32_t, uintptr_t context, void*, uint32_t) {
  auto* state = reinterpret_cast<StopDuringFirstReply*>(context);
  if (++state->calls == 1)
    for (int i = 0; i < 500 && state->gateway->IsServiceInitialized(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return 0;
}

TEST_F(MessageMediaConcurrency, AfterUninitBeginsOnlyTheReplyTheHostHasIsConfirmed) {
  SoapPeer peer;
  peer.QueueReplies({{1, "+1", "a"}, {2, "+2", "b"}, {3, "+3", "c"}, {4, "+4", "d"}, {5, "+5", "e"}}, 0);
  Start(peer.url(), 50, false);
  StopDuringFirstReply state;
  state.gateway = gateway_.get();
  ASSERT_EQ(gateway_->ServiceInit(WaitForUninit, reinterpret_cast<uintptr_t>(&state), loader_.get()), 1);
  ASSERT_TRUE(WaitFor([&] { return state.calls.load() >= 1; }));
  gateway_->ServiceUninit();
  EXPECT_EQ(state.calls.load(), 1);
  std::vector<std::string> confirmations;
  for (const std::string& e : peer.events())
    if (e.rfind("confirm:", 0) == 0) confirmations.push_back(e);
  EXPECT_EQ(confirmations, std::vector<std::string>{"confirm:1"});
  EXPECT_TRUE(LogContains("GetIncomingSMSs - stopping: 4 replies left on the service."));
}

}  // namespace
}  // namespace talvenix::testing
