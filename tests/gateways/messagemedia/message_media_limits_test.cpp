// SPDX-License-Identifier: Apache-2.0
// What a peer cannot make the gateway do: forge or flood log lines, fill
// memory with one answer, hold a call for ever, or keep the poll thread
// fetching without a pause.

#include "message_media_fixture.hpp"

namespace talvenix::testing {
namespace {

using std::chrono::milliseconds;

class MessageMediaLimits : public MessageMediaFixture {};

TEST_F(MessageMediaLimits, FaultStringsReachTheLogEscapedAndCut) {
  SoapPeer peer;
  Start(peer.url(), 50);
  const std::string fault =
      "Account suspended\nMessageMediaService::ServiceSendSMS - Succesfully sent SMS" + std::string(5000, 'x');
  peer.FaultWith(fault);
  EXPECT_EQ(Send(u"hi"), TALVEX_FAILED);
  ASSERT_TRUE(WaitFor([&] { return LogContains("GetIncomingSMSs - SOAP error >> Account suspended\\n"); }));
  gateway_->ServiceUninit();
  EXPECT_TRUE(LogContains("SendMessage - SOAP error >> Account suspended\\nMessageMediaService::ServiceSendSMS"));
  EXPECT_TRUE(LogContains("... (" + std::to_string(fault.size()) + " bytes)."));
  for (const LoggedLine& l : log_.lines()) {
    EXPECT_EQ(l.text.find('\n'), std::string::npos) << l.text;
    EXPECT_LT(l.text.size(), 500u);
  }
}

TEST_F(MessageMediaLimits, AnAnswerOverOneMebibyteFailsTheCall) {
  SoapPeer peer;
  peer.QueueReplies({{5, "+61400", std::string(1100000, 'r')}}, 0);
  Start(peer.url(), 50);
  ASSERT_TRUE(
      WaitFor([&] { return LogContains("GetIncomingSMSs - SOAP error >> answer longer than 1048576 bytes."); }));
  peer.FaultWith(std::string(2 << 20, 'f'));
  EXPECT_EQ(Send(u"hi"), TALVEX_FAILED);
  EXPECT_TRUE(LogContains("SendMessage - SOAP error >> answer longer than 1048576 bytes."));
  peer.FaultWith("");
  EXPECT_EQ(Send(u"hi"), TALVEX_OK);  // nothing of the cut answer is left on the connection
  gateway_->ServiceUninit();
  std::lock_guard lock(inbox_.mutex);
  EXPECT_TRUE(inbox_.messages.empty());
  for (const std::string& e : peer.events()) EXPECT_EQ(e.find("confirm"), std::string::npos);
}

TEST_F(MessageMediaLimits, ACallEndsAtItsDeadlineHoweverSlowlyTheAnswerTrickles) {
  SoapPeer peer;
  Start(peer.url());
  gateway_->client()->SetLimits({2000, 1500, 1000});
  peer.TrickleAnswers(30);  // a byte every 30 ms: the whole answer would take some 15 s
  EXPECT_EQ(Send(u"hi"), TALVEX_FAILED);
  EXPECT_TRUE(LogContains("SendMessage - SOAP error >> not finished within 1000 ms."));
}

TEST_F(MessageMediaLimits, OnePollCycleFetchesAFewTimesAtMost) {
  SoapPeer peer;
  peer.QueueReplies({{1, "+61400", "again"}}, 1, true);  // always one more
  Start(peer.url(), 3000);
  const int most = static_cast<int>(MessageMediaService::kMaxFetchesInRow);
  ASSERT_TRUE(WaitFor([&] { return peer.fetches() >= most; }, 10000));
  std::this_thread::sleep_for(milliseconds(500));  // well within the interval that follows
  gateway_->ServiceUninit();
  EXPECT_EQ(peer.fetches(), most);
}

}  // namespace
}  // namespace talvenix::testing
