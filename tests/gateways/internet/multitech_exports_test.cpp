// SPDX-License-Identifier: Apache-2.0
// The device gateway end to end: through the exports, against the simulator.

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "gateways/internet/multitech_fixture.hpp"
#include "common/recording_logger.hpp"
#include "gateways/internet/multitech_device.hpp"
#include "gateways/internet/raw_peer.hpp"

namespace talvenix::testing {
namespace {

using namespace std::chrono_literals;

class MultitechThroughExports : public MultitechHostTest {};

TEST_F(MultitechThroughExports, EachAcceptedMessageGetsItsFinalStateOnce) {
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_EQ(options->service_flag, uint32_t{TALVEX_SERVICE_MULTITECH});
  device.SetStates({"3", "6", "0"});
  TalvexSmsRequest* sent = NewSms(u"Hi \u20AC", "+15550100");
  ASSERT_EQ(m.SendSMS(sent), TALVEX_PENDING);
  device.SetStates({"2", "7"});
  TalvexSmsRequest* failed = NewSms(u"second", "+15550101");
  ASSERT_EQ(m.SendSMS(failed), TALVEX_PENDING);

  auto accepted = device.Accepted();
  ASSERT_EQ(accepted.size(), 2u);
  EXPECT_EQ(accepted[0].to, "+15550100");
  EXPECT_EQ(accepted[0].text, u"Hi \u20AC");
  EXPECT_EQ(sent->tracking_id, accepted[0].id);
  EXPECT_EQ(failed->tracking_id, accepted[1].id);

  ASSERT_TRUE(events.WaitFor(TALVEX_EVENT_OUTCOME, 2));
  std::this_thread::sleep_for(200ms);  // several more cycles: nothing is reported twice
  auto outcome = OutcomesOf(sent);
  ASSERT_EQ(outcome.size(), 1u);
  EXPECT_EQ(outcome[0].code, TALVEX_OK);
  EXPECT_EQ(outcome[0].context, events.context());
  EXPECT_EQ(outcome[0].data_kind, uint32_t{TALVEX_DATA_REQUEST});
  ASSERT_EQ(OutcomesOf(failed).size(), 1u);
  EXPECT_EQ(OutcomesOf(failed)[0].code, TALVEX_FAILED);
  EXPECT_GE(device.CountRequests("/querymsg"), 5u);  // in progress states were asked again
  EXPECT_EQ(events.OfKind(TALVEX_EVENT_OUTCOME).size(), 2u);
}

TEST_F(MultitechThroughExports, RefusedBrokenAndUnreachableSendsAreNotTracked) {
  ASSERT_EQ(Start(), TALVEX_OK);
  device.OverrideAnswer("/sendmsg", "<html><body><h1>500 Internal Server Error</h1></body></html>", 500);
  EXPECT_EQ(m.SendSMS(NewSms()), TALVEX_FAILED);
  device.OverrideAnswer("/sendmsg", "");
  device.FailSends(601, 1);  // a device error in a send answer carries no "ID:"
  EXPECT_EQ(m.SendSMS(NewSms()), TALVEX_FAILED);
  device.Stop();
  EXPECT_EQ(m.SendSMS(NewSms()), TALVEX_MULTITECH_UNREACHABLE);
  std::this_thread::sleep_for(150ms);
  EXPECT_TRUE(events.OfKind(TALVEX_EVENT_OUTCOME).empty());
  m.Unint();
  EXPECT_TRUE(events.OfKind(TALVEX_EVENT_OUTCOME).empty());

  std::string log = folder.Read("Talvenix.log");
  EXPECT_NE(log.find("ServiceSendSMS: invalid response! [Err: 601]"), std::string::npos);
  EXPECT_NE(log.find("ServiceSendSMS: error, failed to connect. [ip: 127.0.0.1] [port: " +
                     std::to_string(device.port()) + " ] [request: /sendmsg?user=admin&passwd=****&"),
            std::string::npos);
  EXPECT_EQ(log.find("s3cret"), std::string::npos);
}

TEST_F(MultitechThroughExports, ADeviceThatStopsAnsweringEndsTrackedMessagesWith59) {
  device.SetStates({"2"});
  ASSERT_EQ(Start(), TALVEX_OK);
  TalvexSmsRequest* r = NewSms();
  ASSERT_EQ(m.SendSMS(r), TALVEX_PENDING);
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(OutcomesOf(r).empty());
  device.Stop();
  ASSERT_TRUE(events.WaitFor(TALVEX_EVENT_OUTCOME, 1));
  EXPECT_EQ(OutcomesOf(r)[0].code, TALVEX_MULTITECH_UNREACHABLE);
  m.Unint();  // nothing left to give up
  EXPECT_EQ(OutcomesOf(r).size(), 1u);
}

TEST_F(MultitechThroughExports, UnintReportsEveryTrackedMessageWith12BeforeItReturns) {
  device.SetStates({"2"});
  ASSERT_EQ(Start(), TALVEX_OK);
  TalvexSmsRequest* a = NewSms(u"a");
  TalvexSmsRequest* b = NewSms(u"b");
  ASSERT_EQ(m.SendSMS(a), TALVEX_PENDING);
  ASSERT_EQ(m.SendSMS(b), TALVEX_PENDING);
  std::this_thread::sleep_for(100ms);
  m.Unint();
  ASSERT_EQ(OutcomesOf(a).size(), 1u);
  ASSERT_EQ(OutcomesOf(b).size(), 1u);
  EXPECT_EQ(OutcomesOf(a)[0].code, TALVEX_ABORTED);
  EXPECT_EQ(OutcomesOf(b)[0].code, TALVEX_ABORTED);
  EXPECT_EQ(m.SendSMS(NewSms()), TALVEX_NOT_INITIALISED);
}

TEST_F(MultitechThroughExports, AnIdHandedOutAgainFailsTheOlderRequestAtOnce) {
  device.SetStates({"2"});
  device.QueueIds({5, 5});
  ASSERT_EQ(Start(), TALVEX_OK);
  TalvexSmsRequest* older = NewSms(u"older");
  TalvexSmsRequest* newer = NewSms(u"newer");
  ASSERT_EQ(m.SendSMS(older), TALVEX_PENDING);
  ASSERT_EQ(m.SendSMS(newer), TALVEX_PENDING);
  ASSERT_TRUE(events.WaitFor(TALVEX_EVENT_OUTCOME, 1));
  EXPECT_EQ(OutcomesOf(older)[0].code, TALVEX_FAILED);
  EXPECT_TRUE(OutcomesOf(newer).empty());
  device.SetMessageStates(5, {"0"});
  ASSERT_TRUE(events.WaitFor(TALVEX_EVENT_OUTCOME, 2));
  EXPECT_EQ(OutcomesOf(newer)[0].code, TALVEX_OK);
  m.Unint();
  EXPECT_EQ(events.OfKind(TALVEX_EVENT_OUTCOME).size(), 2u);
  EXPECT_NE(folder.Read("Talvenix.log").find("ServiceSendSMS: PROBLEM ID ALREADY EXISTS ... [tracking-id: 5]"),
            std::string::npos);
}

TEST_F(MultitechThroughExports, TheNumberArrivesExactlyAsTheHostGaveIt) {
  ASSERT_EQ(Start(), TALVEX_OK);
  const char* numbers[] = {"+15550100", "5550100&to=5550199&cat=2", "5550100=1", "5550100#", "555 0100", "+49\xc3\xa4"};
  for (const char* number : numbers) EXPECT_EQ(m.SendSMS(NewSms(u"x", number)), TALVEX_PENDING) << number;
  auto accepted = device.Accepted();
  ASSERT_EQ(accepted.size(), std::size(numbers));
  for (size_t i = 0; i < accepted.size(); ++i) EXPECT_EQ(accepted[i].to, numbers[i]);
}

// A device answer is logged escaped and cut, however long it is.
TEST_F(MultitechThroughExports, AHugeAnswerMakesShortLogLines) {
  ASSERT_EQ(Start(), TALVEX_OK);
  device.OverrideAnswer("/sendmsg", "<html>\r\n" + std::string(2 << 20, 'x'));
  EXPECT_EQ(m.SendSMS(NewSms()), TALVEX_FAILED);
  m.Unint();
  std::string log = folder.Read("Talvenix.log");
  EXPECT_NE(log.find("ServiceSendSMS: invalid response! [<html>\\r\\nxxx"), std::string::npos);
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) EXPECT_LT(line.size(), 1000u) << line.substr(0, 200);
}

// The device takes every second request on a kept connection and then drops
// it without an answer: nothing is sent twice, and the send reports 1.
TEST_F(MultitechThroughExports, ARequestWhoseConnectionDropsIsNotSentTwice) {
  std::mutex mutex;
  std::vector<std::string> requests;
  auto record = [&](const std::string& head) {
    std::lock_guard lock(mutex);
    if (head.rfind("GET /sendmsg?", 0) == 0) requests.push_back(head.substr(0, head.find(' ', 4)));
  };
  RawPeer raw([&](int s) {
    std::string head = RawPeer::ReadRequest(s);
    record(head);
    RawPeer::Answer(s, head.rfind("GET /sendmsg?", 0) == 0 ? "ID: 7" : "ID: 7 Status: 2");
    record(RawPeer::ReadRequest(s));
    shutdown(s, SHUT_RDWR);  // without an answer
  });
  setenv("TALVENIX_POLL_INTERVAL_MS", "60000", 1);  // only a send wakes the worker
  folder.Write("qvsmscomms.xml", MultitechDocument("admin", "s3cret", raw.port()));
  ASSERT_EQ(Start(), TALVEX_OK);
  TalvexSmsRequest* first = NewSms(u"first");
  ASSERT_EQ(m.SendSMS(first), TALVEX_PENDING);
  EXPECT_EQ(m.SendSMS(NewSms(u"second")), TALVEX_FAILED);
  m.Unint();
  std::lock_guard lock(mutex);
  ASSERT_EQ(requests.size(), 2u) << "one copy of each";
  EXPECT_NE(requests[1].find("&text=73;65;63;6F;6E;64;"), std::string::npos);
  EXPECT_EQ(OutcomesOf(first).at(0).code, TALVEX_ABORTED);
}

// A kept connection that dies at the next request, before any answer: a
// state query, which changes nothing on the device, is asked again on a
// fresh connection; a send never goes out twice.
TEST(MultitechDevice, OnlyAQueryGoesOutAgainAfterItsKeptConnectionDied) {
  std::atomic<int> requests{0};
  RawPeer peer([&](int s) {  // each connection answers its first request and drops at the second
    if (RawPeer::ReadRequest(s).empty()) return;
    ++requests;
    RawPeer::Answer(s, "ID: 17");
    if (!RawPeer::ReadRequest(s).empty()) ++requests;
    shutdown(s, SHUT_RDWR);
  });
  RecordingLogger log;
  multitech::DeviceConnection device(&log);
  const auto port = static_cast<uint16_t>(peer.port());
  std::string answer;
  EXPECT_EQ(device.send_request(answer, "/sendmsg?a", u"127.0.0.1", port, false), TransportOutcome::kAnswered);
  EXPECT_EQ(device.send_request(answer, "/sendmsg?b", u"127.0.0.1", port, false), TransportOutcome::kMaybeTaken);
  EXPECT_EQ(requests.load(), 2);
  EXPECT_EQ(device.send_request(answer, "/querymsg?c", u"127.0.0.1", port, true), TransportOutcome::kAnswered);
  EXPECT_EQ(device.send_request(answer, "/querymsg?d", u"127.0.0.1", port, true), TransportOutcome::kAnswered);
  EXPECT_EQ(answer, "ID: 17");
  EXPECT_EQ(requests.load(), 5) << "the query was asked once more, on a new connection";
}

// A device that took the request and then closed, before or in the middle
// of its answer, may have the message: that is the "may have taken it"
// failure (1), never "unreachable" (59), which a host may send again.
TEST_F(MultitechThroughExports, ADeviceThatReadTheRequestIsNeverReportedUnreachable) {
  for (const std::string& answer :
       {std::string(), std::string("HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\nID: 101")}) {
    SCOPED_TRACE(answer);
    RawPeer cut([&](int s) {
      if (!RawPeer::ReadRequest(s).empty()) RawPeer::Send(s, answer);
      shutdown(s, SHUT_RDWR);
    });
    folder.Write("qvsmscomms.xml", MultitechDocument("admin", "s3cret", cut.port()));
    ASSERT_EQ(Start(), TALVEX_OK);
    EXPECT_EQ(m.SendSMS(NewSms()), TALVEX_FAILED);
    m.Unint();
    std::string log = folder.Read("Talvenix.log");
    EXPECT_NE(log.find("the device may have taken it"), std::string::npos);
    EXPECT_EQ(log.find("ServiceSendSMS: error, failed to connect."), std::string::npos);
    folder.Write("Talvenix.log", "");
  }
}

// A device that reads the state query and never answers: Unint must not wait
// out the time-outs, and the message is given up (12), not failed (59).
TEST_F(MultitechThroughExports, UnintDoesNotWaitForAHangingDevice) {
  std::atomic<bool> asked{false};
  RawPeer hanging([&](int s) {
    std::string head = RawPeer::ReadRequest(s);
    if (head.rfind("GET /sendmsg?", 0) == 0)
      RawPeer::Answer(s, "ID: 7");
    else if (head.rfind("GET /querymsg?", 0) == 0)
      asked = true;  // and no answer
  });
  setenv("TALVENIX_POLL_INTERVAL_MS", "60000", 1);  // only a send wakes the worker
  folder.Write("qvsmscomms.xml", MultitechDocument("admin", "s3cret", hanging.port()));
  ASSERT_EQ(Start(), TALVEX_OK);
  TalvexSmsRequest* r = NewSms();
  ASSERT_EQ(m.SendSMS(r), TALVEX_PENDING);
  for (int i = 0; i < 500 && !asked; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(asked);
  auto start = std::chrono::steady_clock::now();
  m.Unint();
  // The device's silence would hold it for the 30 s idle limit.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
  ASSERT_EQ(OutcomesOf(r).size(), 1u);
  EXPECT_EQ(OutcomesOf(r)[0].code, TALVEX_ABORTED);
}

TEST_F(MultitechThroughExports, ReceivedMessagesReachTheHostWithTextAndSender) {
  ASSERT_EQ(Start(), TALVEX_OK);
  device.AddInbox(peers::InboxMessage::Ascii("+15550002", "Hello there"));
  device.AddInbox(peers::InboxMessage::Ascii("+15550003", "50% off & more = ok?\r\nbye"));
  device.AddInbox(peers::InboxMessage::Unicode("+15550004", u"Grüße \U0001F600"));
  ASSERT_TRUE(events.WaitFor(TALVEX_EVENT_RECEIVED, 3));
  auto received = events.OfKind(TALVEX_EVENT_RECEIVED);
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[0].text, u"Hello there");
  EXPECT_EQ(received[0].originator, "+15550002");
  EXPECT_EQ(received[0].raw->service_flag, uint32_t{TALVEX_SERVICE_MULTITECH});
  EXPECT_EQ(received[0].raw->line, 1u);
  EXPECT_EQ(received[0].data_kind, uint32_t{TALVEX_DATA_SMS});
  EXPECT_EQ(received[0].context, events.context());
  EXPECT_EQ(received[1].text, u"50% off & more = ok?\r\nbye");
  // The host gets the text as it came; the log shows it on one line.
  EXPECT_NE(folder.Read("Talvenix.log").find("Message[50% off & more = ok?\\r\\nbye], Encoding[ASCII]"),
            std::string::npos);
  EXPECT_EQ(received[2].text, u"Grüße \U0001F600");
  EXPECT_EQ(received[2].originator, "+15550004");
}

TEST_F(MultitechThroughExports, UpdateTakesANewPasswordAndKeepsTrackedMessages) {
  device.SetStates({"2"});
  ASSERT_EQ(Start(), TALVEX_OK);
  TalvexSmsRequest* r = NewSms();
  ASSERT_EQ(m.SendSMS(r), TALVEX_PENDING);
  // The device's new account has a password that breaks an unencoded query.
  device.AddAccount("admin", "n&w=1");
  Configure("admin", "n&amp;w=1");
  uint32_t mask = 0;
  ASSERT_EQ(m.Update(&mask, 1, 1, &options), TALVEX_UPDATE_APPLIED);
  // Once the worker asks with the new password, no query with the old one is under way.
  auto asked_with_new_password = [&] {
    for (const std::string& r : device.Requests())
      if (r.rfind("/querymsg?", 0) == 0 && r.find("passwd=n%26w%3D1&") != std::string::npos) return true;
    return false;
  };
  for (int i = 0; i < 100 && !asked_with_new_password(); ++i) std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(asked_with_new_password());
  device.SetCredentials("admin", "n&w=1");
  device.SetMessageStates(r->tracking_id, {"0"});
  ASSERT_TRUE(events.WaitFor(TALVEX_EVENT_OUTCOME, 1));
  EXPECT_EQ(OutcomesOf(r)[0].code, TALVEX_OK);
  TalvexSmsRequest* after = NewSms();
  EXPECT_EQ(m.SendSMS(after), TALVEX_PENDING);
  EXPECT_EQ(device.Accepted().back().password, "n&w=1");
  std::string last_send;
  for (const std::string& request : device.Requests())
    if (request.rfind("/sendmsg?", 0) == 0) last_send = request;
  EXPECT_NE(last_send.find("passwd=n%26w%3D1&"), std::string::npos);
}

TEST_F(MultitechThroughExports, SettingsExportsReadAndWriteTheBlock) {
  std::string path = (folder.path() / "qvsmscomms.xml").string();
  ASSERT_EQ(m.InitXMLConfigurations(path.c_str(), "sms"), 1);
  auto block = std::make_unique<TalvexMultitechSettings>();
  ASSERT_NE(m.LoadGSMServiceXMLConfigurations(TALVEX_SERVICE_MULTITECH, block.get(), 1), 0);
  EXPECT_EQ(std::u16string(block->username), u"admin");
  EXPECT_EQ(std::u16string(block->password), u"s3cret");
  EXPECT_EQ(std::u16string(block->ipaddress), u"127.0.0.1");
  EXPECT_EQ(std::u16string(block->port), Utf8ToUtf16(std::to_string(device.port())));
  EXPECT_EQ(std::u16string(block->password_description), u"API password");
  EXPECT_EQ(std::u16string(block->port_description), u"Device port");

  CopyBounded(block->ipaddress, TALVEX_MULTITECH_VALUE_CHARS, u"localhost");
  CopyBounded(block->username, TALVEX_MULTITECH_VALUE_CHARS, u"not written");
  ASSERT_NE(m.ChangeXMLConfigurations(TALVEX_SERVICE_MULTITECH, block.get(), TALVEX_MULTITECH_IPADDRESS), 0);
  auto reread = std::make_unique<TalvexMultitechSettings>();
  ASSERT_NE(m.LoadGSMServiceXMLConfigurations(TALVEX_SERVICE_MULTITECH, reread.get(), 0), 0);
  EXPECT_EQ(std::u16string(reread->ipaddress), u"localhost");
  EXPECT_EQ(std::u16string(reread->username), u"admin");
}

}  // namespace
}  // namespace talvenix::testing
