// SPDX-License-Identifier: Apache-2.0
// The Clickatell gateway through the real module (SendSMS as a host calls it)
// against a cpp-httplib server playing both APIs, and the answer parsing.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <sstream>

#include "common/temp_folder.hpp"
#include "gateways/internet/clickatell_answer.hpp"
#include "gateways/internet/clickatell_api_wrapper.hpp"
#include "gateways/internet/clickatell_document.hpp"
#include "gateways/internet/internet_env.hpp"
#include "gateways/internet/raw_peer.hpp"
#include "hostkit/module.hpp"
#include "peers/http_peer.hpp"
#include "peers/test_certificates.hpp"
#include "peers/tinyproxy_peer.hpp"

namespace talvenix {
namespace {

using host::Module;
using testing::ClickatellAccount;
using testing::HttpPeer;
using testing::RawPeer;

int32_t Ignore(int32_t, int32_t, uint32_t, uintptr_t, void*, uint32_t) { return 0; }

class ClickatellModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.Set("TALVENIX_LOG_LEVEL", "3");
    env_.Set("TALVENIX_HOST_SETTINGS", (folder_.path() / "host.ini").string());
  }
  void TearDown() override {
    m_.Unint();
    // No log level shows a password.
    for (const std::string& secret : secrets_)
      EXPECT_EQ(folder_.Read("Talvenix.log").find(secret), std::string::npos) << secret;
  }
  void Start(const ClickatellAccount& account, const std::string& base) {
    if (!account.password.empty()) secrets_.push_back(account.password);
    folder_.Write("qvsmscomms.xml", testing::ClickatellDocument(account, base));
    ASSERT_EQ(m_.InitTalvex(0, Ignore, &options_), TALVEX_OK) << folder_.Read("Talvenix.log");
  }
  int32_t Send(const std::u16string& text, const char* to = "+15550100") {
    std::memset(&request_, 0, sizeof request_);
    std::memset(buffer_, 0, sizeof buffer_);
    std::memcpy(buffer_, text.c_str(), (text.size() + 1) * 2);
    request_.text = buffer_;
    request_.text_capacity = 400;
    request_.recipient = to;
    return m_.SendSMS(&request_);
  }

  testing::ScopedEnvironment env_;
  Module& m_ = Module::Get();
  testing::TempFolder folder_{"clickatell"};
  testing::WorkingFolder inside_{folder_.path()};
  std::vector<std::string> secrets_;
  TalvexGenericOptions* options_ = nullptr;
  TalvexSmsRequest request_;
  char16_t buffer_[400];
};

TEST_F(ClickatellModuleTest, CentralRequestCarriesEveryValueEncoded) {
  HttpPeer peer;
  peer.Answer(200, "ID: 9f3a");
  Start({"key 1&2", "me+you", "p#ss&word x", "Shop & Co"}, peer.base());
  EXPECT_EQ(Send(u"a b&c \u00e9"), TALVEX_OK);
  auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target,
            "/http/sendmsg?api_id=key+1%262&mo=1&user=me%2byou&password=p%23ss%26word+x&from=Shop+%26+Co"
            "&to=%2b15550100&text=a+b%26c+%c3%a9");
  std::string log = folder_.Read("Talvenix.log");
  EXPECT_NE(log.find("password=****&from="), std::string::npos) << "the request is logged, its password hidden";
}

TEST_F(ClickatellModuleTest, PlatformRequestWhenThePasswordIsEmpty) {
  HttpPeer peer;
  peer.Answer(200, "<Response><ApiMessageId>abc</ApiMessageId></Response>");
  Start({"the key", "someone", "", ""}, peer.base());
  EXPECT_EQ(Send(u"x"), TALVEX_OK);
  auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/messages/http/send?apiKey=the+key&to=%2b15550100&content=x");
}

TEST_F(ClickatellModuleTest, TheNumberArrivesExactlyAsTheHostGaveIt) {
  HttpPeer peer;
  peer.Answer(200, "ID: 1");
  Start({"k", "u", "pw", ""}, peer.base());
  for (const char* number :
       {"+15550100", "15550100&text=forged", "15550100#", "1555 0100", "1555=0100", "+49\xc3\xa4\xe2\x82\xac"}) {
    EXPECT_EQ(Send(u"hi", number), TALVEX_OK) << number;
    httplib::Params query = peer.requests().back().params;
    EXPECT_EQ(query.count("to"), 1u) << number;
    EXPECT_EQ(query.find("to")->second, number);
    ASSERT_EQ(query.count("text"), 1u) << number;
    EXPECT_EQ(query.find("text")->second, "hi") << number;
  }
}

// The host's logging is at its most detailed, and a request succeeds, meets
// a closed port, or has a URL that cannot be parsed: the API key and the
// password stay out of the log (TearDown reads it).
TEST_F(ClickatellModuleTest, NoCredentialReachesTheLogWhateverHappens) {
  HttpPeer peer;
  int closed = testing::FreeLoopbackPort();
  secrets_.push_back("K3y-Secret");  // the Platform key
  for (const std::string& base :
       {peer.base(), "http://127.0.0.1:" + std::to_string(closed), std::string("http://[::1")}) {
    for (const ClickatellAccount& account :
         {ClickatellAccount{"K3y-Secret", "", "", ""}, ClickatellAccount{"id", "user", "Pa55-Secret", ""}}) {
      Start(account, base);
      Send(u"hi");
      m_.Unint();
    }
  }
  std::string log = folder_.Read("Talvenix.log");
  EXPECT_NE(log.find("apiKey=****&to="), std::string::npos);
  EXPECT_NE(log.find("HttpClient - request to 'http://127.0.0.1:" + std::to_string(closed) +
                     "/http/sendmsg?api_id=id&mo=1&user=user&password=****&to="),
            std::string::npos);
  EXPECT_NE(log.find("in WinHttpCrackUrl, URL:'http://[::1/messages/http/send?apiKey=****&to="), std::string::npos);
}

// What the provider answers is logged escaped and cut: it cannot forge a log
// line, nor make one a megabyte long.
TEST_F(ClickatellModuleTest, AnswersAreLoggedEscapedAndCut) {
  HttpPeer peer;
  Start({"k", "u", "pw", ""}, peer.base());
  peer.Answer(200, "ID: 7\r\n2026-01-01 00:00:00.000 error   [TALVEX] forged");
  EXPECT_EQ(Send(u"hi"), TALVEX_OK);
  peer.Answer(200, "ERR: 301" + std::string(500000, 'x'));
  EXPECT_EQ(Send(u"hi"), 41);
  std::istringstream log(folder_.Read("Talvenix.log"));
  size_t longest = 0;
  for (std::string line; std::getline(log, line);) {
    longest = std::max(longest, line.size());
    EXPECT_NE(line.rfind("2026-01-01", 0), 0u) << "a forged line: " << line;
  }
  EXPECT_LT(longest, 1000u);
  std::string text = folder_.Read("Talvenix.log");
  EXPECT_NE(text.find("Result [ID: 7\\r\\n2026-01-01"), std::string::npos);
  EXPECT_NE(text.find("Message ID [7\\r\\n2026-01-01"), std::string::npos);
  EXPECT_NE(text.find("... (500008 bytes)]"), std::string::npos);
}

// The server takes every second request on a kept connection and then drops
// it without an answer: the message must not go out again.
TEST_F(ClickatellModuleTest, AMessageWhoseConnectionDropsIsNotSentTwice) {
  std::atomic<int> seen{0};
  RawPeer peer([&](int s) {
    if (RawPeer::ReadRequest(s).empty()) return;
    ++seen;
    RawPeer::Answer(s, "ID: 1");
    if (!RawPeer::ReadRequest(s).empty()) ++seen;
    shutdown(s, SHUT_RDWR);
  });
  Start({"k", "u", "pw", ""}, peer.url(""));
  int32_t results[4];
  for (int32_t& r : results) r = Send(u"once");
  m_.Unint();
  EXPECT_EQ(seen.load(), 4) << "one copy of each message";
  EXPECT_EQ(results[0], TALVEX_OK);
  EXPECT_EQ(results[1], TALVEX_FAILED);
  EXPECT_EQ(results[2], TALVEX_OK);
  EXPECT_EQ(results[3], TALVEX_FAILED);
  EXPECT_NE(folder_.Read("Talvenix.log").find("so Clickatell may have taken it."), std::string::npos);
}

// A second request that answers the proxy's 407 (a Digest round) is not a
// resend: the first one never went past the proxy.
TEST_F(ClickatellModuleTest, AProxyAuthenticationRoundIsNoResend) {
  std::atomic<int> authorised{0};
  RawPeer proxy([&](int s) {
    for (std::string head; !(head = RawPeer::ReadRequest(s)).empty();) {
      if (head.find("Proxy-Authorization: Digest") == std::string::npos) {
        RawPeer::Send(s,
                      "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Digest realm=\"p\", "
                      "nonce=\"n0\"\r\nContent-Length: 0\r\n\r\n");
      } else {
        ++authorised;
        RawPeer::Answer(s, "ID: 1");
      }
    }
  });
  folder_.Write("host.ini", "[proxysettings]\nProxy_Enabled=-1\nProxy_Server=127.0.0.1\nProxy_Port=" +
                                std::to_string(proxy.port()) +
                                "\nProxy_CredentialsEnabled=-1\nProxy_Username=relay\nProxy_Password=" +
                                testing::ScrambleProxyPassword("pw2") + "\nProxy_Authentication=1\n");
  Start({"k", "u", "pw", ""}, "http://127.0.0.1:9/");
  EXPECT_EQ(Send(u"through"), TALVEX_OK) << folder_.Read("Talvenix.log");
  m_.Unint();
  EXPECT_EQ(authorised.load(), 1);
}

// Update reads the service again: new credentials and new endpoints alike.
TEST_F(ClickatellModuleTest, UpdateMovesLaterMessagesToTheNewEndpoint) {
  HttpPeer before, after;
  Start({"k", "u", "pw", ""}, before.base());
  EXPECT_EQ(Send(u"one"), TALVEX_OK);
  folder_.Write("qvsmscomms.xml", testing::ClickatellDocument({"k", "u", "pw2", ""}, after.base()));
  uint32_t mask = 0;
  ASSERT_EQ(m_.Update(&mask, 1, 1, &options_), TALVEX_UPDATE_APPLIED);
  EXPECT_EQ(Send(u"two"), TALVEX_OK);
  EXPECT_EQ(before.requests().size(), 1u);
  ASSERT_EQ(after.requests().size(), 1u);
  EXPECT_EQ(after.requests()[0].params.find("password")->second, "pw2");
}

TEST_F(ClickatellModuleTest, AnswersGiveTheirStatusCodes) {
  HttpPeer peer;
  Start({"k", "u", "pw", ""}, peer.base());
  struct Case {
    int status;
    std::string body;
    int32_t code;
  };
  for (const Case& c : std::vector<Case>{{200, "ID: 1", 0},
                                         {200, "ID: ", 1},
                                         {200, "ERR: 001, Authentication failed", 58},
                                         {200, "ERR: 105, Invalid destination", 74},
                                         {200, "ERR: 114", 74},
                                         {200, "ERR: 301, No credit", 41},
                                         {200, "ERR: abc", 1},
                                         {200, "garbage", 1},
                                         {200, "", 1},
                                         {202, "ID: 7", 0},
                                         {500, "ID: 7", 1},
                                         {404, "ERR: 001", 1}}) {
    peer.Answer(c.status, c.body);
    EXPECT_EQ(Send(u"hi"), c.code) << c.status << " " << c.body;
  }
  EXPECT_EQ(peer.connections(), 1u) << "one kept connection for every message";
}

TEST_F(ClickatellModuleTest, PlatformAnswersInXmlAndJson) {
  HttpPeer peer;
  Start({"k", "", "", "Shop"}, peer.base());
  struct Case {
    std::string body;
    int32_t code;
  };
  for (const Case& c : std::vector<Case>{
           {"<ErrorCode>108</ErrorCode>", 58},
           {"<ApiMessageId></ApiMessageId><ErrorCode>105</ErrorCode>", 74},
           {R"({"messages":[{"apiMessageId":"a1b2","accepted":true,"to":"15550100","errorCode":null}],)"
            R"("errorCode":null,"error":null})",
            0},
           {R"({"messages":[{"apiMessageId":"","accepted":false,"errorCode":105}],"errorCode":null})", 74},
           {R"({"messages":[],"errorCode":1,"error":"Invalid or missing API key"})", 58},
           {R"({"messages":[{"accepted":false,"errorCode":null}],"errorCode":null})", 1},
           {R"({"messages":[{"apiMessageId":"x"}], "errorCode": "abc"})", 0},
           {R"({"messages":)", 1}}) {
    peer.Answer(202, c.body, "application/json");
    EXPECT_EQ(Send(u"hi"), c.code) << c.body;
  }
  EXPECT_EQ(peer.requests().back().target, "/messages/http/send?apiKey=k&from=Shop&to=%2b15550100&content=hi");
}

TEST_F(ClickatellModuleTest, HttpsWithTheTestCaAndThroughTheConfiguredProxy) {
  testing::TestCertificates certs;
  env_.Set("TALVENIX_CA_FILE", certs.ca_file());
  HttpPeer peer(certs.server_cert(), certs.server_key());
  testing::TinyProxy proxy("relay", "prox-y.pw");
  secrets_.push_back("prox-y.pw");
  folder_.Write("host.ini", "[proxysettings]\nProxy_Enabled=-1\nProxy_Server=127.0.0.1\nProxy_Port=" +
                                std::to_string(proxy.port()) +
                                "\nProxy_CredentialsEnabled=-1\nProxy_Username=relay\nProxy_Password=" +
                                testing::ScrambleProxyPassword("prox-y.pw") + "\nProxy_Authentication=0\n");
  Start({"k", "u", "pw", ""}, peer.base(true));
  EXPECT_EQ(Send(u"secure"), TALVEX_OK);
  ASSERT_EQ(peer.requests().size(), 1u);
  EXPECT_NE(proxy.log().find("CONNECT 127.0.0.1:" + std::to_string(peer.port())), std::string::npos);
}

TEST_F(ClickatellModuleTest, WrongProxyCredentialsOrNoServerFailWithOne) {
  HttpPeer peer;
  testing::TinyProxy proxy("relay", "right");
  folder_.Write("host.ini", "[proxysettings]\nProxy_Enabled=-1\nProxy_Server=127.0.0.1\nProxy_Port=" +
                                std::to_string(proxy.port()) +
                                "\nProxy_CredentialsEnabled=-1\nProxy_Username=relay\nProxy_Password=" +
                                testing::ScrambleProxyPassword("wrong") + "\n");
  Start({"k", "u", "pw", ""}, peer.base());
  EXPECT_EQ(Send(u"x"), TALVEX_FAILED);
  EXPECT_TRUE(peer.requests().empty());
  m_.Unint();
  folder_.Write("host.ini", "");
  Start({"k", "u", "pw", ""}, "http://127.0.0.1:" + std::to_string(testing::FreeLoopbackPort()));
  EXPECT_EQ(Send(u"x"), TALVEX_FAILED);
}

// A proxy section the reader cannot take may hide a configured proxy: going
// direct would send around it. Each message fails until the file reads again.
TEST_F(ClickatellModuleTest, UnreadableProxySettingsStopTheMessageInsteadOfGoingAroundTheProxy) {
  HttpPeer peer;
  peer.Answer(200, "ID: 1");
  folder_.Write("host.ini", "[proxysettings]\nProxy_Enabled=-1\nProxy_Server 127.0.0.1\n");
  Start({"k", "u", "pw", ""}, peer.base());
  EXPECT_EQ(Send(u"x"), TALVEX_FAILED);
  EXPECT_TRUE(peer.requests().empty());
  EXPECT_NE(folder_.Read("Talvenix.log").find("host.ini: malformed line 3"), std::string::npos);
  folder_.Write("host.ini", "[proxysettings]\nProxy_Enabled=0\n");
  EXPECT_EQ(Send(u"y"), TALVEX_OK);
  EXPECT_EQ(peer.requests().size(), 1u);
}

TEST_F(ClickatellModuleTest, EnvironmentProxyCarriesTheMessage) {
  testing::TestCertificates certs;
  env_.Set("TALVENIX_CA_FILE", certs.ca_file());
  HttpPeer peer(certs.server_cert(), certs.server_key());
  peer.Answer(200, R"({"messages":[{"apiMessageId":"e1","accepted":true}],"errorCode":null})");
  testing::TinyProxy proxy;
  env_.Set("https_proxy", "http://" + proxy.address());
  Start({"k", "", "", ""}, peer.base(true));
  EXPECT_EQ(Send(u"via env"), TALVEX_OK) << folder_.Read("Talvenix.log");
  EXPECT_NE(proxy.log().find("CONNECT 127.0.0.1:" + std::to_string(peer.port())), std::string::npos);
}

TEST(ClickatellEncoding, UrlEncodeAndTags) {
  using internet::UrlEncode;
  EXPECT_EQ(UrlEncode(u"a b&c"), "a+b%26c");
  EXPECT_EQ(UrlEncode(u"\u00e9-_.~Az9"), "%c3%a9-_.~Az9");
  EXPECT_EQ(UrlEncode(u"+#/\U0001F600"), "%2b%23%2f%f0%9f%98%80");
  std::string v;
  EXPECT_FALSE(internet::ExtractTagValue("<a></a>", "a", v)) << "nothing between the tags";
  EXPECT_FALSE(internet::ExtractTagValue("</a>x<a>", "a", v)) << "closing tag first";
  ASSERT_TRUE(internet::ExtractTagValue("<r><a>1</a><a>2</a></r>", "a", v));
  EXPECT_EQ(v, "1");
  EXPECT_EQ(internet::ParseCentralAnswer("ID: x").message_id, "x");
  EXPECT_EQ(internet::ParseCentralAnswer("ERR: 99999999999").result(), -1) << "too large for a code";
}

}  // namespace
}  // namespace talvenix
