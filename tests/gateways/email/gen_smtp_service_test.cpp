// SPDX-License-Identifier: Apache-2.0
// The e-mail gateway: its settings block and template, and what a mail reader
// sees of the messages it sends to a real SMTP server.

#include <gtest/gtest.h>

#include "gateways/email/email_fixture.hpp"

namespace talvenix::testing {
namespace {

using Json = nlohmann::json;

std::string N(std::u16string_view text) { return Utf16ToUtf8(text); }
template <size_t Size>
std::string N(const char16_t (&field)[Size]) {
  return Utf16ToUtf8(std::u16string_view(field, Utf16Length(field, Size)));
}

class EmailSettings : public EmailGatewayTest {};

TEST_F(EmailSettings, LoadFillsTheBlockAndModeOneTheDescriptions) {
  doc.properties["[smtpserver]"] = "mail.example.com";
  doc.properties["[bodyline10]"] = "ten";
  folder.Write("qvsmscomms.xml", doc.Xml());
  XMLLoader file_loader(&log, (folder.path() / "qvsmscomms.xml").c_str(), "sms");
  GenSMTPService service(&log);
  auto block = std::make_unique<TalvexSmtpSettings>();
  ASSERT_NE(service.ConfigLoad(&file_loader, block.get(), 0), 0);
  EXPECT_EQ(N(block->server), "mail.example.com");
  EXPECT_EQ(N(block->template_name), "sms");
  EXPECT_EQ(N(block->body_lines[9]), "ten");
  EXPECT_EQ(block->descriptions[0][0], u'\0');

  ASSERT_NE(service.ConfigLoad(&file_loader, block.get(), 1), 0);
  EXPECT_EQ(N(block->descriptions[0]), "About [smtpserver]");
  EXPECT_EQ(N(block->descriptions[17]), "About [bodyline10]");
  EXPECT_EQ(N(block->server), "mail.example.com");  // descriptions never overwrite values

  // Every one of the eighteen properties is required.
  doc.properties.erase("[bodyline7]");
  folder.Write("qvsmscomms.xml", doc.Xml());
  EXPECT_EQ(service.ConfigLoad(&file_loader, block.get(), 0), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GenSMTPService::ConfigLoad - failed to load service configuration(s)."));
  EXPECT_EQ(service.ConfigLoad(nullptr, block.get(), 0), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GenSMTPService::ConfigLoad - Invalid Parameter(s)"));
}

TEST_F(EmailSettings, UpdateWritesOnlyTheMaskedProperties) {
  folder.Write("qvsmscomms.xml", doc.Xml());
  XMLLoader file_loader(&log, (folder.path() / "qvsmscomms.xml").c_str(), "sms");
  GenSMTPService service(&log);
  auto block = std::make_unique<TalvexSmtpSettings>();
  CopyBounded(block->subject, std::size(block->subject), u"Neuer Betreff \u00fc");
  CopyBounded(block->body_lines[2], std::size(block->body_lines[2]), u"line three");
  CopyBounded(block->server, std::size(block->server), u"not written");
  ASSERT_NE(service.ConfigUpdate(&file_loader, block.get(), TALVEX_SMTP_SUBJECT | (TALVEX_SMTP_BODYLINE1 << 2)), 0);
  std::string file = folder.Read("qvsmscomms.xml");
  EXPECT_NE(file.find("value=\"Neuer Betreff \xc3\xbc\""), std::string::npos);
  EXPECT_NE(file.find("value=\"line three\""), std::string::npos);
  EXPECT_EQ(file.find("not written"), std::string::npos);

  ASSERT_NE(service.ConfigUpdate(&file_loader, block.get(), TALVEX_SMTP_ALL), 0);
  EXPECT_NE(folder.Read("qvsmscomms.xml").find("value=\"not written\""), std::string::npos);
  EXPECT_EQ(service.ConfigUpdate(&file_loader, nullptr, 1), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GenSMTPService::ConfigUpdate - Invalid Parameter(s)."));
}

TEST_F(EmailSettings, TemplateIsTrimmedAndItsLineFeedsGetCarriageReturns) {
  doc.properties["[bodytemplatename]"] = "  sms \t";
  doc.template_fields["from"] = "  gateway@example.com ";
  doc.template_fields["subject"] = "  Hi  ";
  doc.template_fields["body"] = "one\ntwo\r\nthree\n";
  ASSERT_EQ(Load(), 1);
  const TalvexSmtpSettings& s = gateway->settings();
  EXPECT_EQ(N(s.template_name), "sms");
  EXPECT_EQ(N(s.from), "gateway@example.com");
  EXPECT_EQ(N(s.subject), "Hi");
  // A line that already ends in CR LF keeps one carriage return.
  EXPECT_EQ(N(s.body), "one\r\ntwo\r\nthree\r\n");

  gateway->ServiceInit(nullptr, 0, loader.get());
  gateway->ServiceUninit();
  EXPECT_EQ(gateway->settings().from[0], u'\0');
  EXPECT_EQ(gateway->settings().body[0], u'\0');
  EXPECT_EQ(gateway->IsServiceInitialized(), 0u);
}

TEST_F(EmailSettings, BadTemplatesAreReported) {
  doc.template_name = "other";
  EXPECT_EQ(Load(), 0);
  EXPECT_TRUE(log.Has(Severity::Error, "GenSMTPService::LoadInternalConfigs - failed to load template data."));

  // A blank "to" is logged, and the configuration still counts as loaded.
  doc.template_name = "sms";
  doc.template_fields["to"] = "   ";
  EXPECT_EQ(Load(), 1);
  EXPECT_TRUE(
      log.Has(Severity::Error, "GenSMTPService::LoadInternalConfigs - Invalid Template Attribute 'to' specified."));

  doc.properties["[bodytemplatename]"] = " ";
  EXPECT_EQ(Load(), 1);
  EXPECT_TRUE(log.Has(Severity::Error, "GenSMTPService::LoadInternalConfigs - Invalid body template name specified."));
}

TEST_F(EmailSettings, SendingNeedsAStartedGatewayAndARequest) {
  ASSERT_EQ(Load(), 1);
  PartRequest r(u"x", "1", u"");
  EXPECT_EQ(gateway->ServiceSendSMS(1, 0, r.request.get()), TALVEX_NOT_INITIALISED);
  EXPECT_TRUE(log.Has(Severity::Error, "GenSMTPService::ServiceSendSMS - Service is not Initialized."));
  EXPECT_EQ(gateway->mailers, 0);
  EXPECT_EQ(gateway->ServiceInit(nullptr, 0, loader.get()), 1);
  EXPECT_EQ(gateway->ServiceInit(nullptr, 0, loader.get()), 0);
  EXPECT_EQ(gateway->ServiceSendSMS(1, 0, nullptr), TALVEX_INVALID_PARAMETER);

  GenSMTPService unloaded(&log);
  unloaded.ServiceInit(nullptr, 0, loader.get());
  EXPECT_EQ(unloaded.ServiceSendSMS(1, 0, r.request.get()), TALVEX_FAILED);
  EXPECT_TRUE(
      log.Has(Severity::Error,
              "GenSMTPService::ServiceSendSMS - Invalid Configurations(s), Service Configurations not loaded."));
}

class EmailSending : public EmailGatewayTest {};

TEST_F(EmailSending, OnePartArrivesAsTheTemplateSays) {
  SmtpPeer peer;
  UsePeer(peer);
  doc.properties["[bodyline1]"] = "Reply STOP to end";
  doc.template_fields["bcc"] = "archive@example.org";
  doc.template_fields["subject"] = "Nachricht f\xc3\xbcr [smsnumber] / [smsnumber]";
  doc.template_fields["body"] = "From: [smssender]\nText: [smsmessage]\nNote: [bodyline1]\n";
  ASSERT_EQ(Send(u"Hello there", "15550100", u"Zo\u00eb"), TALVEX_OK);

  std::vector<Json> messages = peer.Messages();
  ASSERT_EQ(messages.size(), 1u);
  const Json& m = messages[0];
  const Json& h = m["headers"];
  EXPECT_EQ(h["from"][0], "SMS Gateway <gateway@example.com>");
  EXPECT_EQ(h["to"][0], "15550100@sms.example.net");
  EXPECT_EQ(h["subject"][0], "Nachricht f\xc3\xbcr 15550100 / 15550100");
  EXPECT_FALSE(h.contains("cc"));
  EXPECT_FALSE(h.contains("bcc"));
  EXPECT_TRUE(h.contains("date") && h.contains("message-id") && h.contains("mime-version"));
  EXPECT_EQ(h["message-id"][0].get<std::string>().find("@example.com>"), 33u);
  EXPECT_EQ(m["mail_from"], "gateway@example.com");
  EXPECT_EQ(m["rcpt_tos"], Json({"15550100@sms.example.net", "archive@example.org"}));
  EXPECT_EQ(m["body"], "From: Zo\xc3\xab\r\nText: Hello there\r\nNote: Reply STOP to end\r\n");
  EXPECT_EQ(m["body_charset"], "utf-8");
  EXPECT_FALSE(m["raw_has_bare_lf"].get<bool>());
  EXPECT_EQ(m["defects"], Json::array());
  EXPECT_FALSE(m["tls"].get<bool>());
}

// One text/plain part, so a provider that reads the raw body gets the text:
// as it is when it is plain ASCII, else quoted-printable in short lines.
TEST_F(EmailSending, TheBodyIsOnePlainTextPart) {
  SmtpPeer peer;
  UsePeer(peer);
  ASSERT_EQ(Send(u"Meet at 10:30, a=b"), TALVEX_OK);
  std::u16string long_line = u"\u00e9t\u00e9 " + std::u16string(1200, u'x') + u" \U0001F600";
  ASSERT_EQ(Send(long_line + u"\n.second line"), TALVEX_OK);
  std::vector<Json> messages = peer.Messages();
  ASSERT_EQ(messages.size(), 2u);

  std::string raw = peer.RawMessage(1);
  size_t blank = raw.find("\r\n\r\n");
  ASSERT_NE(blank, std::string::npos);
  std::string headers = raw.substr(0, blank + 2);
  EXPECT_NE(headers.find("\r\nMIME-Version: 1.0\r\n"), std::string::npos) << headers;
  EXPECT_NE(headers.find("\r\nContent-Type: text/plain; charset=utf-8\r\n"), std::string::npos) << headers;
  EXPECT_NE(headers.find("\r\nContent-Transfer-Encoding: 7bit\r\n"), std::string::npos) << headers;
  EXPECT_EQ(raw.substr(blank + 4), "Meet at 10:30, a=b\r\n");

  EXPECT_EQ(messages[1]["content_type"], "text/plain");
  EXPECT_EQ(messages[1]["body_transfer_encoding"], "quoted-printable");
  EXPECT_LE(messages[1]["raw_max_line"].get<int>(), 78);
  EXPECT_EQ(messages[1]["body"], N(long_line) + "\r\n.second line\r\n");
  EXPECT_EQ(peer.RawMessage(2).find("multipart"), std::string::npos);
}

// The host chooses the number and the sender's name: in address fields they
// may fill a display name, or (a phone number only) an address, and nothing more.
TEST_F(EmailSending, TheHostsValuesCannotAddOrChangeAddresses) {
  SmtpPeer peer;
  UsePeer(peer);
  doc.template_fields["from"] = "[smssender] via SMS <gw@example.com>";
  doc.template_fields["subject"] = "For [smsnumber]";
  EXPECT_EQ(Send(u"x", "boss@evil.example,+15550100"), TALVEX_INVALID_PARAMETER);
  EXPECT_TRUE(log.Has(Severity::Error,
                      "GenSMTPService::ServiceSendSMS - number 'boss@evil.example,+15550100' is not "
                      "a phone number; it cannot go into the to field."));
  EXPECT_TRUE(peer.Messages().empty());

  ASSERT_EQ(Send(u"x", "15550100", u"Eve <ceo@victim.example>, X"), TALVEX_OK);
  Json m = peer.Messages().back();
  EXPECT_EQ(m["mail_from"], "gw@example.com");
  EXPECT_EQ(m["rcpt_tos"], Json({"15550100@sms.example.net"}));
  EXPECT_EQ(m["headers"]["from"][0], "\"Eve <ceo@victim.example>, X via SMS\" <gw@example.com>");

  // A written number goes into an address as its digits and leading '+'.
  ASSERT_EQ(Send(u"x", "+1 (555) 01-00."), TALVEX_OK);
  EXPECT_EQ(peer.Messages().back()["rcpt_tos"], Json({"+15550100@sms.example.net"}));

  // Outside the address fields a value is only text.
  doc.template_fields["to"] = "fixed@example.net";
  ASSERT_EQ(Send(u"x", "boss@evil.example"), TALVEX_OK);
  m = peer.Messages().back();
  EXPECT_EQ(m["rcpt_tos"], Json({"fixed@example.net"}));
  EXPECT_EQ(m["headers"]["subject"][0], "For boss@evil.example");

  doc.template_fields["cc"] = "Copy <[smssender]@example.net>";
  EXPECT_EQ(Send(u"x", "15550100", u"ceo@victim.example, eve"), TALVEX_FAILED);
  EXPECT_TRUE(
      log.Has(Severity::Error, "GenSMTPService::ServiceSendSMS - unusable address in cc: '[smssender]@example.net'"));
  EXPECT_EQ(peer.Messages().size(), 3u);
}

TEST_F(EmailSending, DisplayNamesNonAsciiAndLonelyDotsSurvive) {
  SmtpPeer peer;
  UsePeer(peer);
  doc.template_fields["from"] = "J\xc3\xb6rg M\xc3\xbcller <joerg@example.com>";
  doc.template_fields["to"] = "\"Doe, Jane\" <jane@example.net>; [smsnumber]@sms.example.net (pager)";
  doc.template_fields["cc"] = "\xc3\x85sa <asa@example.net>, \"Q \\\"Boss\\\"\" <q@example.net>";
  doc.template_fields["subject"] = "";
  doc.template_fields["body"] = "[smsmessage]";
  ASSERT_EQ(Send(u"first\n.\n..\n.end\nlast", "15550100"), TALVEX_OK);

  std::vector<Json> messages = peer.Messages();
  ASSERT_EQ(messages.size(), 1u);
  const Json& h = messages[0]["headers"];
  EXPECT_EQ(h["from"][0], "J\xc3\xb6rg M\xc3\xbcller <joerg@example.com>");
  EXPECT_EQ(h["to"][0], "\"Doe, Jane\" <jane@example.net>, 15550100@sms.example.net");
  EXPECT_EQ(h["cc"][0], "\xc3\x85sa <asa@example.net>, \"Q \\\"Boss\\\"\" <q@example.net>");
  EXPECT_EQ(messages[0]["rcpt_tos"],
            Json({"jane@example.net", "15550100@sms.example.net", "asa@example.net", "q@example.net"}));
  EXPECT_EQ(h["subject"], Json({""}));  // an empty subject is still set
  // Lines holding only dots reach the reader unchanged (the transfer stuffs and unstuffs them).
  EXPECT_EQ(messages[0]["body"], "first\r\n.\r\n..\r\n.end\r\nlast\r\n");
}

TEST_F(EmailSending, A4000CharacterMessageArrivesWholeInBodyAndSubject) {
  SmtpPeer peer;
  UsePeer(peer);
  doc.template_fields["subject"] = "[smsmessage]";
  std::u16string text;
  while (text.size() < 4000) text += u"\u00e9t\u00e9 \U0001F600 line ";
  text.resize(4000);
  ASSERT_EQ(Send(text), TALVEX_OK);

  std::vector<Json> messages = peer.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["body"], N(text) + "\r\n");
  EXPECT_EQ(messages[0]["headers"]["subject"][0], N(text));
  EXPECT_LE(messages[0]["raw_max_line"].get<int>(), 998);  // the subject is folded
}

TEST_F(EmailSending, LineBreaksInTheMessageCannotAddHeaders) {
  SmtpPeer peer;
  UsePeer(peer);
  doc.template_fields["subject"] = "SMS: [smsmessage]";
  ASSERT_EQ(Send(u"hi\r\nBcc: spy@example.org\r\n\r\nforged"), TALVEX_OK);
  std::vector<Json> messages = peer.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["headers"]["subject"][0], "SMS: hi  Bcc: spy@example.org    forged");
  EXPECT_FALSE(messages[0]["headers"].contains("bcc"));
  EXPECT_EQ(messages[0]["rcpt_tos"], Json({"15550100@sms.example.net"}));
}

TEST_F(EmailSending, InsertedTextIsNeverExpandedAgain) {
  SmtpPeer peer;
  UsePeer(peer);
  doc.properties["[bodyline2]"] = "Sent to [smsnumber]";  // a body line may use the message's placeholders
  doc.extras["[smtppassword]"] = EncipherValue("hunter2");
  doc.template_fields["to"] = "fixed@example.net";
  doc.template_fields["body"] = "[smsmessage]|[bodyline2]|[smtppassword]";
  ASSERT_EQ(Send(u"[smsmessage][bodyline2][smssender]", "[smsnumber]", u"[smssender]"), TALVEX_OK);
  std::vector<Json> messages = peer.Messages();
  ASSERT_EQ(messages.size(), 1u);
  // The message's own text stays as written, and the password is never placed.
  EXPECT_EQ(messages[0]["body"], "[smsmessage][bodyline2][smssender]|Sent to [smsnumber]|[smtppassword]\r\n");
}

TEST_F(EmailSending, StartTlsWithLogin) {
  std::vector<std::string> options = SmtpPeer::Tls("--starttls");
  options.insert(options.end(), {"--auth", "gateway:p\xc3\xa4ss word!"});
  SmtpPeer peer(options);
  UsePeer(peer);
  doc.properties["[smtpserver]"] = "localhost";
  UseLogin("StartTLS", "gateway", "p\xc3\xa4ss word!");
  ASSERT_EQ(Send(u"over TLS"), TALVEX_OK) << FailureDetail();
  std::vector<Json> messages = peer.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0]["tls"].get<bool>());
  EXPECT_EQ(messages[0]["auth_user"], "gateway");
  EXPECT_EQ(messages[0]["body"], "over TLS\r\n");
}

TEST_F(EmailSending, ImplicitTls) {
  SmtpPeer peer(SmtpPeer::Tls("--implicit-tls"));
  UsePeer(peer);
  doc.extras["[smtpsecurity]"] = "tls";
  ASSERT_EQ(Send(u"TLS from the first byte"), TALVEX_OK) << FailureDetail();
  std::vector<Json> messages = peer.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0]["tls"].get<bool>());
}

TEST_F(EmailSending, LoginWithoutEncryptionOnlyWhenAskedAndWithAWarning) {
  SmtpPeer peer({"--auth", "gateway:open-secret", "--auth-without-tls"});
  UsePeer(peer);
  UseLogin("none", "gateway", "open-secret");
  ASSERT_EQ(Send(u"plain"), TALVEX_OK) << FailureDetail();
  ASSERT_EQ(peer.Messages().size(), 1u);
  EXPECT_EQ(peer.Messages()[0]["auth_user"], "gateway");
  EXPECT_TRUE(log.Has(Severity::Warning,
                      "CEmail::SendEmail - user 'gateway' authenticates without encryption ([smtpsecurity] is none)."));

  // Asked for STARTTLS, a server that does not offer it never sees the credentials.
  log.Clear();
  UseLogin("starttls", "gateway", "open-secret");
  EXPECT_EQ(Send(u"plain"), TALVEX_FAILED);
  EXPECT_EQ(peer.Messages().size(), 1u);
  EXPECT_NE(FailureDetail().find("STARTTLS not supported."), std::string::npos) << FailureDetail();
}

}  // namespace
}  // namespace talvenix::testing
