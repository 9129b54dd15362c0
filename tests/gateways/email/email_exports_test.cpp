// SPDX-License-Identifier: Apache-2.0
// The e-mail gateway end to end: the module loaded like a host loads it, a
// real qvsmscomms.xml in a fresh working folder, a real SMTP server.

#include <gtest/gtest.h>
#include <stdlib.h>

#include "common/temp_folder.hpp"
#include "support/value_cipher.hpp"
#include "gateways/email/smtp_peer.hpp"
#include "hostkit/module.hpp"
#include "support/text_codec.hpp"

namespace talvenix::testing {
namespace {

using Json = nlohmann::json;

class EmailThroughExports : public ::testing::Test {
 protected:
  EmailThroughExports() {
    m.Unint();
    m.Unint();
    setenv("TALVENIX_CA_FILE", SharedCertificates().ca_file().c_str(), 1);
    setenv("TALVENIX_LOG_LEVEL", "3", 1);
  }
  ~EmailThroughExports() override {
    m.Unint();
    m.Unint();
    unsetenv("TALVENIX_CA_FILE");
    unsetenv("TALVENIX_LOG_LEVEL");
  }
  static int32_t Callback(int32_t, int32_t, uint32_t, uintptr_t, void*, uint32_t) { return 0; }

  int32_t SendText(const std::u16string& text) {
    std::vector<char16_t> buffer(text.begin(), text.end());
    buffer.push_back(u'\0');
    auto request = std::make_unique<TalvexSmsRequest>();
    request->text = buffer.data();
    request->text_capacity = static_cast<uint32_t>(buffer.size());
    request->recipient = "15550100";
    CopyBounded(request->sender_name, std::size(request->sender_name), u"Front desk");
    return m.SendSMS(request.get());
  }

  host::Module& m = host::Module::Get();
  TempFolder folder{"email-exports"};
  WorkingFolder cwd{folder.path()};
  EmailDocument doc;
  TalvexGenericOptions* options = nullptr;
};

TEST_F(EmailThroughExports, OnePartIsOneEmailAndThreePartsAreThree) {
  SmtpPeer peer;
  doc.properties["[smtpport]"] = peer.port_text();
  doc.template_fields["body"] = "[smssender]: [smsmessage]";
  folder.Write("qvsmscomms.xml", doc.Xml());
  ASSERT_EQ(m.InitTalvex(1, &Callback, &options), TALVEX_OK);
  ASSERT_EQ(options->service_flag, uint32_t{TALVEX_SERVICE_EMAIL});

  EXPECT_EQ(SendText(u"short one"), TALVEX_OK);
  ASSERT_EQ(peer.Messages().size(), 1u);
  EXPECT_EQ(peer.Messages()[0]["body"], "Front desk: short one\r\n");

  std::u16string a(160, u'a'), b(160, u'b'), c(40, u'c');
  EXPECT_EQ(SendText(a + b + c), TALVEX_OK);
  std::vector<Json> messages = peer.Messages();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[1]["body"], "Front desk: " + Utf16ToUtf8(a) + "\r\n");
  EXPECT_EQ(messages[2]["body"], "Front desk: " + Utf16ToUtf8(b) + "\r\n");
  EXPECT_EQ(messages[3]["body"], "Front desk: " + Utf16ToUtf8(c) + "\r\n");
  EXPECT_EQ(messages[3]["rcpt_tos"], Json({"15550100@sms.example.net"}));

  // A failed send reaches the host as 1, and the engine stops at that part.
  peer.Stop();
  EXPECT_EQ(SendText(a + b), TALVEX_FAILED);
}

TEST_F(EmailThroughExports, StartTlsLoginLeavesNoPasswordInTheLog) {
  std::vector<std::string> options_tls = SmtpPeer::Tls("--starttls");
  options_tls.insert(options_tls.end(), {"--auth", "desk:Top-Secret-9"});
  SmtpPeer peer(options_tls);
  doc.properties["[smtpserver]"] = "localhost";
  doc.properties["[smtpport]"] = peer.port_text();
  doc.extras = {
      {"[smtpsecurity]", "starttls"}, {"[smtpuser]", "desk"}, {"[smtppassword]", EncipherValue("Top-Secret-9")}};
  folder.Write("qvsmscomms.xml", doc.Xml());
  ASSERT_EQ(m.InitTalvex(1, &Callback, &options), TALVEX_OK);
  EXPECT_EQ(SendText(u"secure"), TALVEX_OK);
  ASSERT_EQ(peer.Messages().size(), 1u);
  EXPECT_EQ(peer.Messages()[0]["auth_user"], "desk");

  // A wrong password: refused, logged with the server's reply, and never written.
  doc.extras["[smtppassword]"] = EncipherValue("Wrong-Secret-7");
  folder.Write("qvsmscomms.xml", doc.Xml());
  m.Unint();
  ASSERT_EQ(m.InitTalvex(1, &Callback, &options), TALVEX_OK);
  EXPECT_EQ(SendText(u"refused"), TALVEX_FAILED);
  m.Unint();
  std::string log = folder.Read("Talvenix.log");
  EXPECT_NE(log.find("535 5.7.8 Authentication credentials invalid"), std::string::npos) << log;
  EXPECT_EQ(log.find("Top-Secret-9"), std::string::npos);
  EXPECT_EQ(log.find("Wrong-Secret-7"), std::string::npos);
}

TEST_F(EmailThroughExports, SettingsScreensReadAndWriteTheBlock) {
  doc.properties["[subject]"] = "old subject";
  folder.Write("qvsmscomms.xml", doc.Xml());
  std::string path = (folder.path() / "qvsmscomms.xml").string();
  ASSERT_EQ(m.InitXMLConfigurations(path.c_str(), "sms"), 1);
  auto block = std::make_unique<TalvexSmtpSettings>();
  ASSERT_NE(m.LoadGSMServiceXMLConfigurations(TALVEX_SERVICE_EMAIL, block.get(), 1), 0);
  EXPECT_EQ(Utf16ToUtf8(block->subject), "old subject");
  EXPECT_EQ(Utf16ToUtf8(block->descriptions[6]), "About [subject]");

  CopyBounded(block->subject, std::size(block->subject), u"new subject");
  CopyBounded(block->from, std::size(block->from), u"unchanged@example.com");
  ASSERT_NE(m.ChangeXMLConfigurations(TALVEX_SERVICE_EMAIL, block.get(), TALVEX_SMTP_SUBJECT), 0);
  std::string file = folder.Read("qvsmscomms.xml");
  EXPECT_NE(file.find("value=\"new subject\""), std::string::npos);
  EXPECT_EQ(file.find("unchanged@example.com"), std::string::npos);
}

}  // namespace
}  // namespace talvenix::testing
