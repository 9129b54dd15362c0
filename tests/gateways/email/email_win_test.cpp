// SPDX-License-Identifier: Apache-2.0
// The e-mail gateway in the Windows build: libcurl over Winsock with
// Schannel, against the aiosmtpd servers that its harness starts on Linux
// and names in the environment. TLS trusts the system's store, which gets the
// harness's test CA.

// clang-format off
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "common/trusted_root_win.hpp"
#include "gateways/email/email_gateway_fixture.hpp"
#include "gateways/email/mail_message.hpp"
#include "hostkit/module.hpp"

namespace talvenix::testing {
namespace {

using Json = nlohmann::json;

std::string Environment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? value : "";
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// One of the harness's servers: its port, and what it has received.
class HarnessPeer {
 public:
  explicit HarnessPeer(const std::string& name)
      : port_(Environment("TALVENIX_TEST_SMTP_" + name)),
        out_(Environment("TALVENIX_TEST_SMTP_OUT") + "\\" + name + "\\") {}
  const std::string& port() const { return port_; }
  int Count() const {
    int n = 0;
    while (!FileText(out_ + "msg-" + std::to_string(n + 1) + ".json").empty()) ++n;
    return n;
  }
  Json Message(int n) const { return Json::parse(FileText(out_ + "msg-" + std::to_string(n) + ".json")); }
  std::string Raw(int n) const { return FileText(out_ + "msg-" + std::to_string(n) + ".eml"); }

 private:
  std::string port_, out_;
};

// The host's 8-bit text as Windows itself reads it in the ANSI code page.
std::string AnsiAsUtf8(const std::string& ansi) {
  wchar_t wide[64];
  int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide, 64);
  char utf8[256];
  int m = WideCharToMultiByte(CP_UTF8, 0, wide, n, utf8, sizeof utf8, nullptr, nullptr);
  return std::string(utf8, static_cast<size_t>(m));
}

class EmailWinTest : public EmailGatewayBase {
 protected:
  static void SetUpTestSuite() { trusted_ = TrustCertificate(Environment("TALVENIX_TEST_CA")); }
  void SetUp() override {
    ASSERT_TRUE(trusted_) << "run by the harness, which starts the servers and names the test CA";
  }
  // Sends one part through the named server; the number of messages it had before.
  int SendThrough(const HarnessPeer& peer, const std::u16string& text, const char* number = "15550100") {
    UsePort(peer.port());
    int before = peer.Count();
    result = Send(text, number, u"Zo\u00eb");
    return before;
  }
  static inline bool trusted_ = false;
  int32_t result = -1;
};

// What the server received, byte for byte: every line end CR LF, a lonely
// dot doubled on the wire and single again in the message, the number in
// the ANSI code page turned into UTF-8 like the rest.
TEST_F(EmailWinTest, PlainSmtpDeliversTheExactBytes) {
  HarnessPeer peer("PLAIN");
  doc.template_fields["to"] = "desk@sms.example.net";
  doc.template_fields["subject"] = "SMS for [smsnumber]";
  doc.template_fields["body"] = "Text: [smsmessage]\n.\nFrom: [smssender]\n";
  const std::string number = "+49 \xC4\xE9 1";  // bytes above 127 mean what the code page says
  int before = SendThrough(peer, u"two\nlines", number.c_str());
  ASSERT_EQ(result, TALVEX_OK) << FailureDetail();
  ASSERT_EQ(peer.Count(), before + 1);

  Json m = peer.Message(before + 1);
  EXPECT_EQ(m["mail_from"], "gateway@example.com");
  EXPECT_EQ(m["rcpt_tos"], Json({"desk@sms.example.net"}));
  EXPECT_EQ(m["headers"]["subject"][0], "SMS for " + AnsiAsUtf8(number));
  EXPECT_EQ(m["defects"], Json::array());
  EXPECT_FALSE(m["tls"].get<bool>());

  std::string raw = peer.Raw(before + 1);
  size_t from = raw.find("\r\nFrom: ");
  ASSERT_NE(from, std::string::npos) << raw;
  EXPECT_EQ(raw.substr(from + 2),
            "From: SMS Gateway <gateway@example.com>\r\n"
            "To: desk@sms.example.net\r\n" +
                mail::TextHeader("Subject", "SMS for " + AnsiAsUtf8(number)) +
                "\r\n"
                "MIME-Version: 1.0\r\n"
                "Content-Type: text/plain; charset=utf-8\r\n"
                "Content-Transfer-Encoding: quoted-printable\r\n"
                "\r\n"
                "Text: two\r\nlines\r\n.\r\nFrom: Zo=C3=AB\r\n");
}

TEST_F(EmailWinTest, StartTlsAndImplicitTlsWithLogin) {
  HarnessPeer starttls("STARTTLS");
  doc.properties["[smtpserver]"] = "localhost";
  UseLogin("starttls", "gateway", "p\xc3\xa4ss word!");
  int before = SendThrough(starttls, u"over STARTTLS");
  ASSERT_EQ(result, TALVEX_OK) << FailureDetail();
  ASSERT_EQ(starttls.Count(), before + 1);
  Json m = starttls.Message(before + 1);
  EXPECT_TRUE(m["tls"].get<bool>());
  EXPECT_EQ(m["auth_user"], "gateway");
  EXPECT_EQ(m["body"], "over STARTTLS\r\n");

  HarnessPeer tls("TLS");
  UseLogin("tls", "gateway", "secret");
  before = SendThrough(tls, u"TLS from the first byte");
  ASSERT_EQ(result, TALVEX_OK) << FailureDetail();
  ASSERT_EQ(tls.Count(), before + 1);
  EXPECT_TRUE(tls.Message(before + 1)["tls"].get<bool>());
  EXPECT_EQ(tls.Message(before + 1)["auth_user"], "gateway");
}

TEST_F(EmailWinTest, UntrustedCertificateOrWrongPasswordSendsNothing) {
  HarnessPeer rogue("ROGUE");
  doc.properties["[smtpserver]"] = "localhost";
  doc.extras["[smtpsecurity]"] = "tls";
  SendThrough(rogue, u"never");
  EXPECT_EQ(result, TALVEX_FAILED);
  EXPECT_NE(FailureDetail().find("smtps://localhost:" + rogue.port() +
                                 ": SSL peer certificate or SSH remote key was not OK (schannel: "
                                 "CertGetCertificateChain trust error"),
            std::string::npos)
      << FailureDetail();
  EXPECT_EQ(rogue.Count(), 0);

  log.Clear();
  HarnessPeer tls("TLS");
  UseLogin("tls", "gateway", "not-the-secret");
  int before = SendThrough(tls, u"never");
  EXPECT_EQ(result, TALVEX_FAILED);
  EXPECT_NE(FailureDetail().find("Login denied"), std::string::npos) << FailureDetail();
  EXPECT_EQ(tls.Count(), before);
}

// Each failure is one send that reports 1 and logs what the server did.
TEST_F(EmailWinTest, ServersThatRefuseOrDrop) {
  struct Case {
    const char* peer;
    const char* detail;
  };
  for (const Case& c :
       {Case{"CLOSED", "Couldn't connect to server"}, Case{"REFUSE", "server reply: none"},
        Case{"BUSY", "server reply: 554 5.7.1 No SMTP service here"}, Case{"DROP", "server reply: 354 End data"}}) {
    log.Clear();
    SendThrough(HarnessPeer(c.peer), u"lost");
    EXPECT_EQ(result, TALVEX_FAILED) << c.peer;
    EXPECT_TRUE(log.Has(Severity::Error, "GenSMTPService::ServiceSendSMS - Failed To Send Email")) << c.peer;
    EXPECT_NE(FailureDetail().find(c.detail), std::string::npos) << c.peer << ": " << FailureDetail();
  }
}

// The module as a host loads it: the engine builds the e-mail gateway from
// the document and sends every part of a long text as one e-mail.
TEST_F(EmailWinTest, TheModuleSendsEachPartAsOneEmail) {
  HarnessPeer peer("PLAIN");
  UsePort(peer.port());
  doc.template_fields["body"] = "[smsmessage]";
  folder.Write("qvsmscomms.xml", doc.Xml());
  WorkingFolder cwd{folder.path()};
  host::Module& m = host::Module::Get();
  TalvexGenericOptions* engine_options = nullptr;
  ASSERT_EQ(m.InitTalvex(
                1, [](int32_t, int32_t, uint32_t, uintptr_t, void*, uint32_t) { return 0; }, &engine_options),
            TALVEX_OK);
  std::u16string text = std::u16string(160, u'a') + std::u16string(20, u'b');
  std::vector<char16_t> buffer(text.begin(), text.end());
  buffer.push_back(u'\0');
  TalvexSmsRequest request{};
  request.text = buffer.data();
  request.text_capacity = static_cast<uint32_t>(buffer.size());
  request.recipient = "15550100";
  int before = peer.Count();
  EXPECT_EQ(m.SendSMS(&request), TALVEX_OK);
  m.Unint();
  ASSERT_EQ(peer.Count(), before + 2);
  EXPECT_EQ(peer.Message(before + 1)["body"], std::string(160, 'a') + "\r\n");
  EXPECT_EQ(peer.Message(before + 2)["body"], std::string(20, 'b') + "\r\n");
}

}  // namespace
}  // namespace talvenix::testing
