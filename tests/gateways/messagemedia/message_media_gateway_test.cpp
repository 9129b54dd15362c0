// SPDX-License-Identifier: Apache-2.0
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "gateways/internet/raw_peer.hpp"
#include "message_media_fixture.hpp"

namespace talvenix::testing {
namespace {

constexpr const char* kUtf8Text =
    "Gr\xC3\xBC\xC3\x9F"
    "e \xE4\xBD\xA0\xE5\xA5\xBD \xF0\x9F\x98\x80";

class MessageMediaGateway : public MessageMediaFixture {};

// A loopback port nobody listens on.
int ClosedPort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
  close(s);
  return ntohs(address.sin_port);
}

// Connections of this machine still waiting for their answer from `port`.
int ConnectsWaitingFor(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line, local, remote, state;
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  int count = 0;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    fields >> local >> local >> remote >> state;
    if (state == "02" && remote.size() > 5 && remote.substr(remote.size() - 5) == wanted) ++count;  // SYN_SENT
  }
  return count;
}

TEST_F(MessageMediaGateway, SendsTextOutsideLatin1AsUtf8WithTheAccount) {
  SoapPeer peer;
  Start(peer.url());
  EXPECT_EQ(Send(Utf8ToUtf16(kUtf8Text)), TALVEX_OK);
  auto sent = peer.sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].content, kUtf8Text);
  EXPECT_EQ(sent[0].recipient, "+61400000001");
  EXPECT_EQ(sent[0].user, "user-\xC3\xBC");
  EXPECT_EQ(sent[0].password, "Pa55-w0rd-secret");
  EXPECT_EQ(sent[0].send_mode, "normal");
  EXPECT_EQ(sent[0].format, "SMS");
  for (const LoggedLine& l : log_.lines()) EXPECT_EQ(l.text.find("Pa55-w0rd-secret"), std::string::npos) << l.text;
}

TEST_F(MessageMediaGateway, FailedMessagesAndFaultsGiveOneWithTheirText) {
  SoapPeer peer;
  Start(peer.url());
  peer.FailWith("recipientBlocked");
  EXPECT_EQ(Send(u"hi"), TALVEX_FAILED);
  EXPECT_TRUE(log_.Has(Severity::Error,
                       "MessageMediaServiceAPIWrapper::SendMessage - Transmission error >> Recipient "
                       "blocked."));
  peer.FailWith("quotaExceeded");  // a code the service may add later
  EXPECT_EQ(Send(u"hi"), TALVEX_FAILED);
  EXPECT_TRUE(log_.Has(Severity::Error,
                       "MessageMediaServiceAPIWrapper::SendMessage - Transmission error >> "
                       "quotaExceeded."));
  peer.FailWith("");
  peer.FaultWith("Account suspended");
  EXPECT_EQ(Send(u"hi"), TALVEX_FAILED);
  EXPECT_TRUE(log_.Has(Severity::Error,
                       "MessageMediaServiceAPIWrapper::SendMessage - SOAP error >> Account "
                       "suspended."));
  peer.FaultWith("");
  EXPECT_EQ(Send(u"hi"), TALVEX_OK);
}

// A service that read the whole request and closed without answering may
// have the message, and the log says so; one that could not be reached
// cannot have it.
TEST_F(MessageMediaGateway, OnlyASendWhoseAnswerIsLostMayHaveBeenTaken) {
  const std::string taken = "the request was sent but no answer came back, so the service may have taken it.";
  RawPeer cut([](int s) {
    if (RawPeer::ReadRequest(s).empty()) return;
    char body[4096];
    while (recv(s, body, sizeof body, MSG_DONTWAIT) > 0) {
    }
    shutdown(s, SHUT_RDWR);
  });
  Start(cut.url());
  EXPECT_EQ(Send(u"hi"), TALVEX_FAILED);
  EXPECT_TRUE(LogContains(taken));

  gateway_->ServiceUninit();
  gateway_.reset();
  log_.Clear();
  Start("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/");
  EXPECT_EQ(Send(u"hi"), TALVEX_FAILED);
  EXPECT_TRUE(LogContains("SendMessage - SOAP error"));
  EXPECT_FALSE(LogContains(taken));
}

TEST_F(MessageMediaGateway, SendBeforeInitAndWithoutRequest) {
  SoapPeer peer;
  Start(peer.url(), 60000, false);
  EXPECT_EQ(Send(u"hi"), TALVEX_NOT_INITIALISED);
  ASSERT_EQ(gateway_->ServiceInit(InboxCallback, 0, loader_.get()), 1);  // context 0 is the host's to choose
  EXPECT_EQ(gateway_->ServiceSendSMS(1, 0, nullptr), TALVEX_INVALID_PARAMETER);
  EXPECT_TRUE(peer.sent().empty());
}

TEST_F(MessageMediaGateway, RepliesReachTheHostInOrderEachConfirmedRightAfter) {
  SoapPeer peer;
  inbox_.peer = &peer;
  peer.QueueReplies({{11, "+61411", "first \xC3\xA9"}, {12, "+61412", kUtf8Text}, {13, "+61413", "third"}}, 0);
  Start(peer.url(), 50);
  ASSERT_TRUE(WaitFor([&] { return peer.events().size() >= 7; }));
  std::vector<std::string> events = peer.events();
  events.resize(7);
  EXPECT_EQ(events, (std::vector<std::string>{"fetch", "callback:1", "confirm:11", "callback:2", "confirm:12",
                                              "callback:3", "confirm:13"}));
  std::lock_guard lock(inbox_.mutex);
  ASSERT_EQ(inbox_.messages.size(), 3u);
  EXPECT_EQ(inbox_.messages[0].first, "+61411");
  EXPECT_EQ(inbox_.messages[0].second, u"first \u00e9");
  EXPECT_EQ(inbox_.messages[1].second, Utf8ToUtf16(kUtf8Text));
}

TEST_F(MessageMediaGateway, RemainingRepliesAreFetchedAtOnce) {
  SoapPeer peer;
  peer.QueueReplies({{1, "+1", "a"}}, 5);
  Start(peer.url(), 1500);
  ASSERT_TRUE(WaitFor([&] { return peer.fetches() >= 1; }));
  const auto first = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor([&] { return peer.fetches() >= 2; }));
  EXPECT_LT(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(800));
  // remaining without replies waits the interval instead of asking again at once
  peer.QueueReplies({}, 7);
  const int before = peer.fetches();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_LE(peer.fetches(), before + 1);
}

TEST_F(MessageMediaGateway, UninitEndsThePollThreadWithinASecond) {
  SoapPeer peer;
  Start(peer.url(), 60000);
  auto start = std::chrono::steady_clock::now();
  gateway_->ServiceUninit();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

  // also while a fetch waits on a silent server
  peer.DelayFetches(10000);
  ASSERT_EQ(gateway_->ServiceInit(InboxCallback, reinterpret_cast<uintptr_t>(&inbox_), loader_.get()), 1);
  setenv("TALVENIX_POLL_INTERVAL_MS", "20", 1);
  gateway_->ServiceUninit();
  ASSERT_EQ(gateway_->ServiceInit(InboxCallback, reinterpret_cast<uintptr_t>(&inbox_), loader_.get()), 1);
  ASSERT_TRUE(WaitFor([&] { return peer.fetches() >= 1; }));
  start = std::chrono::steady_clock::now();
  gateway_->ServiceUninit();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

  // and while the connection is still being made (without the abort these
  // would wait out 30 and 60 s): this server takes the connection but never
  // answers the TLS handshake
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  gateway_.reset();
  Start("https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/", 20, false);
  gateway_->client()->SetLimits({60000, 30000});
  ASSERT_EQ(gateway_->ServiceInit(InboxCallback, reinterpret_cast<uintptr_t>(&inbox_), loader_.get()), 1);
  pollfd waiting{listener, POLLIN, 0};
  ASSERT_EQ(poll(&waiting, 1, 5000), 1);  // the fetch is in its handshake
  start = std::chrono::steady_clock::now();
  gateway_->ServiceUninit();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  close(listener);

  // and while the server does not even take the connection: its queue of
  // connections is full, so the fetch's connect waits
  listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  address.sin_port = 0;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  gateway_.reset();
  Start("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/", 20, false);
  gateway_->client()->SetLimits({60000, 30000});
  ASSERT_EQ(gateway_->ServiceInit(InboxCallback, reinterpret_cast<uintptr_t>(&inbox_), loader_.get()), 1);
  ASSERT_TRUE(WaitFor([&] { return ConnectsWaitingFor(ntohs(address.sin_port)) > 0; }));
  start = std::chrono::steady_clock::now();
  gateway_->ServiceUninit();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  close(filler);
  close(listener);
}

TEST_F(MessageMediaGateway, PollThreadSurvivesEveryFaultyAnswer) {
  const std::string good_reply =
      "<ns1:checkRepliesResponse><ns1:result returned=\"1\" remaining=\"0\"><ns1:replies>"
      "<ns1:reply uid=\"1\" receiptId=\"77\" format=\"SMS\"><ns1:origin>+61400</ns1:origin>"
      "<ns1:received>2026-01-01T00:00:00Z</ns1:received><ns1:content>ok \xC3\xA9</ns1:content></ns1:reply>"
      "</ns1:replies></ns1:result></ns1:checkRepliesResponse>";
  RawAnswerPeer raw(HttpAnswer("500 Internal Server Error", "text/html", "<html><body>down</body></html>"));
  Start(raw.url(), 30);
  const std::vector<std::string> faults = {
      HttpAnswer("500 Internal Server Error", "text/html", "<html><body>down</body></html>"),
      SoapAnswer("<ns1:checkRepliesResponse><ns1:result returned=\"1\""),  // truncated
      SoapAnswer(good_reply, "http://xml.example.com/other"),              // another namespace
      SoapAnswer("<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode><faultstring>boom</faultstring>"
                 "</SOAP-ENV:Fault>"),
      "garbage\r\n\r\n",
  };
  for (const std::string& answer : faults) {
    raw.SetAnswer(answer);
    const size_t before = raw.requests().size();
    ASSERT_TRUE(WaitFor([&] { return raw.requests().size() >= before + 2; }));
  }
  EXPECT_TRUE(LogContains("MessageMediaService::GetSMSsReceived - Failed to get incoming SMSs."));
  {
    std::lock_guard lock(inbox_.mutex);
    EXPECT_TRUE(inbox_.messages.empty());  // an answer in another namespace is refused, not read
  }
  // still polling: a good answer, and one whose count exceeds its list
  raw.SetAnswer(SoapAnswer(good_reply));
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard lock(inbox_.mutex);
    return !inbox_.messages.empty();
  }));
  {
    std::lock_guard lock(inbox_.mutex);
    EXPECT_EQ(inbox_.messages[0].first, "+61400");
    EXPECT_EQ(inbox_.messages[0].second, u"ok \u00e9");
  }
  EXPECT_TRUE(WaitFor([&] {
    for (const std::string& r : raw.requests())
      if (r.find("confirmReplies") != std::string::npos && r.find("receiptId=\"77\"") != std::string::npos) return true;
    return false;
  }));
  std::string listed_short = good_reply;
  listed_short.replace(listed_short.find("returned=\"1\""), 12, "returned=\"9\"");
  listed_short.replace(listed_short.find("<ns1:origin>+61400</ns1:origin>"), 31, "");
  raw.SetAnswer(SoapAnswer(listed_short));
  ASSERT_TRUE(WaitFor([&] { return LogContains("9 replies returned, 1 listed"); }));
  gateway_->ServiceUninit();
}

TEST_F(MessageMediaGateway, HandWrittenSendAnswersMatchTheBinding) {
  RawAnswerPeer raw(
      SoapAnswer("<ns1:sendMessagesResponse><ns1:result sent=\"1\" scheduled=\"0\" failed=\"0\"/>"
                 "</ns1:sendMessagesResponse>"));
  Start(raw.url());
  EXPECT_EQ(Send(u"hello"), TALVEX_OK);
  const std::string request = raw.requests().at(0);
  EXPECT_NE(request.find("SOAPAction: \"http://xml.m4u.com.au/2009/sendMessages\""), std::string::npos) << request;
  EXPECT_NE(request.find("<ns1:sendMessages>"), std::string::npos);
  EXPECT_NE(request.find("<ns1:messages sendMode=\"normal\">"), std::string::npos) << request;
  EXPECT_NE(request.find("<ns1:recipient uid=\"0\">+61400000001</ns1:recipient>"), std::string::npos);
  EXPECT_NE(request.find("<ns1:content>hello</ns1:content>"), std::string::npos);
  EXPECT_NE(request.find("<ns1:deliveryReport>false</ns1:deliveryReport>"), std::string::npos);

  raw.SetAnswer(
      SoapAnswer("<ns1:sendMessagesResponse><ns1:result sent=\"0\" scheduled=\"0\" failed=\"1\">"
                 "<ns1:errors><ns1:error code=\"messageLengthLimit\" sequenceNumber=\"0\"><ns1:recipients>"
                 "<ns1:recipient uid=\"0\">+61400000001</ns1:recipient></ns1:recipients></ns1:error>"
                 "</ns1:errors></ns1:result></ns1:sendMessagesResponse>"));
  EXPECT_EQ(Send(u"hello"), TALVEX_FAILED);
  EXPECT_TRUE(LogContains("Transmission error >> Message length limit."));
  raw.SetAnswer(SoapAnswer("<ns1:confirmRepliesResponse><ns1:result confirmed=\"1\"/></ns1:confirmRepliesResponse>"));
  EXPECT_EQ(Send(u"hello"), TALVEX_FAILED);  // the wrong answer element is refused
}

TEST_F(MessageMediaGateway, TlsVerifiesAgainstTheConfiguredCa) {
  ASSERT_TRUE(MakeCertificates(folder_.path().string()));
  ASSERT_TRUE(MakeCertificates(folder_.path().string(), "other-"));
  SoapPeer peer((folder_.path() / "server.pem").string(), (folder_.path() / "server.key").string());
  setenv("TALVENIX_CA_FILE", (folder_.path() / "ca.pem").c_str(), 1);
  Start(peer.url());
  EXPECT_EQ(Send(Utf8ToUtf16(kUtf8Text)), TALVEX_OK);
  ASSERT_EQ(peer.sent().size(), 1u);

  // a CA that did not sign the server's certificate
  gateway_->ServiceUninit();
  gateway_.reset();
  setenv("TALVENIX_CA_FILE", (folder_.path() / "other-ca.pem").c_str(), 1);
  Start(peer.url());
  EXPECT_EQ(Send(u"hi"), TALVEX_FAILED);
  EXPECT_TRUE(LogContains("MessageMediaServiceAPIWrapper::SendMessage - SOAP error"));
  EXPECT_EQ(peer.sent().size(), 1u);

  // cacerts.pem beside the document, without the override
  gateway_->ServiceUninit();
  gateway_.reset();
  unsetenv("TALVENIX_CA_FILE");
  std::filesystem::copy_file(folder_.path() / "ca.pem", folder_.path() / "cacerts.pem");
  Start(peer.url());
  EXPECT_EQ(Send(u"hi"), TALVEX_OK);
}

TEST_F(MessageMediaGateway, SettingsRoundTripAndUpdateConfigs) {
  SoapPeer peer;
  Start(peer.url());
  auto block = std::make_unique<TalvexMessageMediaSettings>();
  ASSERT_EQ(gateway_->ConfigLoad(loader_.get(), block.get(), 0), 1);
  EXPECT_STREQ(block->signup_url, "https://sign.up/");
  EXPECT_EQ(std::u16string(block->username), u"user-\u00fc");
  EXPECT_EQ(std::u16string(block->poll_interval), u"1");
  CopyBounded(block->password, 1000, u"n\u00e9w-pass");
  CopyBounded(block->poll_interval, 10, u"5");
  ASSERT_EQ(gateway_->ConfigUpdate(loader_.get(), block.get(), TALVEX_MM_PASSWORD | TALVEX_MM_POLLINTERVAL), 1);
  ASSERT_EQ(loader_->ReloadConfiguration(), 1);
  ASSERT_EQ(gateway_->ConfigLoad(loader_.get(), block.get(), 0), 1);
  EXPECT_EQ(std::u16string(block->password), u"n\u00e9w-pass");
  EXPECT_EQ(std::u16string(block->poll_interval), u"5");
  ASSERT_EQ(gateway_->ConfigLoad(loader_.get(), block.get(), 1), 1);  // the descriptions
  EXPECT_EQ(std::u16string(block->password_long), u"Account password");
  EXPECT_EQ(std::u16string(block->poll_interval_long), u"Minutes");

  uint32_t mask = 0;
  EXPECT_EQ(gateway_->UpdateConfigs(&mask, &options_, 0, 0), 1);
  EXPECT_EQ(gateway_->PollIntervalMinutes(), 5u);
  EXPECT_EQ(Send(u"x"), TALVEX_OK);
  EXPECT_EQ(peer.sent().back().password, "n\xC3\xA9w-pass");
}

}  // namespace
}  // namespace talvenix::testing
