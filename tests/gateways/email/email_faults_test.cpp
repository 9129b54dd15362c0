// SPDX-License-Identifier: Apache-2.0
// Every way a send can fail ends in 1, the gateway's and the mailer's error
// lines and, where the server said something, its reply; nothing hangs.

#include <gtest/gtest.h>

#include "gateways/email/email_fixture.hpp"

namespace talvenix::testing {
namespace {

class EmailFaults : public EmailGatewayTest {
 protected:
  // Sends one part and expects the failure to be logged with `detail` and `reply`.
  void ExpectFailure(const std::string& detail, const std::string& reply) {
    EXPECT_EQ(Send(u"never delivered"), TALVEX_FAILED);
    EXPECT_TRUE(log.Has(Severity::Error, "CEmail::SendEmail - Failed To Send Mail through SMTP Port."));
    EXPECT_TRUE(log.Has(Severity::Error, "GenSMTPService::ServiceSendSMS - Failed To Send Email"));
    std::string line = FailureDetail();
    EXPECT_NE(line.find(detail), std::string::npos) << line;
    EXPECT_NE(line.find("; server reply: " + reply), std::string::npos) << line;
  }
};

TEST_F(EmailFaults, ServerDownOrClosingTheConnection) {
  {
    SmtpPeer stopped;
    UsePeer(stopped);
  }
  ExpectFailure("smtp://127.0.0.1:" + doc.properties["[smtpport]"] + ": Couldn't connect to server", "none");

  log.Clear();
  SmtpPeer refusing({"--refuse"});
  UsePeer(refusing);
  ExpectFailure("Failure when receiving data from the peer", "none");
}

TEST_F(EmailFaults, GreetingRefusesTheSession) {
  SmtpPeer busy({"--greeting", "421 4.3.2 Service not available, try later"});
  UsePeer(busy);
  ExpectFailure("Weird server reply", "421 4.3.2 Service not available, try later");

  log.Clear();
  SmtpPeer closed({"--greeting", "554 5.7.1 No SMTP service here"});
  UsePeer(closed);
  ExpectFailure("Weird server reply", "554 5.7.1 No SMTP service here");
}

TEST_F(EmailFaults, OneRefusedRecipientFailsTheWholeMessage) {
  SmtpPeer peer({"--reject-rcpt", "gone@"});
  UsePeer(peer);
  doc.template_fields["bcc"] = "gone@example.org";
  ExpectFailure("RCPT failed: 550", "550 5.1.1 <gone@example.org>: Recipient address rejected: no such mailbox");
  EXPECT_TRUE(peer.Messages().empty());
}

TEST_F(EmailFaults, DataRefusedOrCutOff) {
  SmtpPeer too_big({"--data-reply", "552 5.3.4 Message size exceeds fixed limit"});
  UsePeer(too_big);
  ExpectFailure("smtp://", "552 5.3.4 Message size exceeds fixed limit");

  log.Clear();
  SmtpPeer closing({"--close-in-data"});
  UsePeer(closing);
  ExpectFailure("smtp://", "354 End data with <CR><LF>.<CR><LF>");
}

TEST_F(EmailFaults, AServerThatStopsAnsweringEndsTheSend) {
  SmtpPeer silent({"--silent-after-data"});
  UsePeer(silent);
  ExpectFailure("Timeout was reached", "354 End data with <CR><LF>.<CR><LF>");
}

// Only a reply to the end of the data accepts the message: a "250" that came
// with the "354", or in a write of its own soon after it, answers nothing, and
// the data is never ended.
TEST_F(EmailFaults, AReplySentBeforeTheDataEndedFailsTheMessage) {
  for (const char* delay_ms : {"", "0", "10", "100"}) {
    SCOPED_TRACE(std::string("250 after 354 by ") + (*delay_ms ? delay_ms : "none"));
    log.Clear();
    SmtpPeer hasty(*delay_ms ? std::vector<std::string>{"--early-reply", delay_ms}
                             : std::vector<std::string>{"--early-reply"});
    UsePeer(hasty);
    ExpectFailure("the server replied before the end of the data", "250 2.0.0 Ok: queued before the data");
  }
}

// A reply is the server's text: it reaches the log escaped and cut, its length noted.
TEST_F(EmailFaults, ServerRepliesAreLoggedEscapedAndCut) {
  SmtpPeer rambling({"--data-reply", "552 5.3.4 \x1b[2J" + std::string(400, 'x')});
  UsePeer(rambling);
  ExpectFailure("end of data failed: 552", "552 5.3.4 \\x1b[2J" + std::string(286, 'x') + "... (414 bytes)");
}

TEST_F(EmailFaults, CertificateThatDoesNotVerify) {
  SmtpPeer stranger(SmtpPeer::Tls("--starttls", false));
  UsePeer(stranger);
  doc.extras["[smtpsecurity]"] = "starttls";
  ExpectFailure("SSL peer certificate or SSH remote key was not OK", "220 Ready to start TLS");
  EXPECT_TRUE(stranger.Messages().empty());
}

TEST_F(EmailFaults, LoginRefused) {
  std::vector<std::string> options = SmtpPeer::Tls("--starttls");
  options.insert(options.end(), {"--auth", "gateway:right"});
  SmtpPeer peer(options);
  UsePeer(peer);
  UseLogin("starttls", "gateway", "wrong-Secret-42");
  ExpectFailure("Login denied", "535 5.7.8 Authentication credentials invalid");
  EXPECT_TRUE(peer.Messages().empty());
}

TEST_F(EmailFaults, SettingsThatCannotWork) {
  doc.properties["[smtpport]"] = "25x";
  EXPECT_EQ(Send(u"x"), TALVEX_FAILED);
  EXPECT_TRUE(log.Has(Severity::Error, "GenSMTPService::ServiceSendSMS - SMTP port '25x' is not a number."));
  EXPECT_TRUE(log.Has(Severity::Error, "CEmail::Init - invalid SMTP server '127.0.0.1' or port -1."));
  EXPECT_TRUE(log.Has(Severity::Error, "GenSMTPService::ServiceSendSMS - Failed To Initialize Mailer Object"));

  log.Clear();
  doc.properties["[smtpport]"] = "25";
  doc.extras["[smtpsecurity]"] = "ssl3";
  EXPECT_EQ(Send(u"x"), TALVEX_FAILED);
  EXPECT_TRUE(log.Has(Severity::Error,
                      "GenSMTPService::LoadInternalConfigs - unknown [smtpsecurity] 'ssl3' (none, starttls or tls)."));
  EXPECT_EQ(gateway->mailers, 1);  // created, and refused before it connected anywhere

  // A template whose "to" is blank: loaded, and every send fails without a connection.
  log.Clear();
  doc.extras["[smtpsecurity]"] = "none";
  doc.template_fields["to"] = "  ";
  EXPECT_EQ(Send(u"x"), TALVEX_FAILED);
  EXPECT_TRUE(log.Has(Severity::Error, "CEmail::SendEmail - smtp://127.0.0.1:25: no recipient address."));

  log.Clear();
  doc.template_fields["to"] = "Jane <jane@example.net";
  EXPECT_EQ(Send(u"x"), TALVEX_FAILED);
  EXPECT_TRUE(
      log.Has(Severity::Error, "GenSMTPService::ServiceSendSMS - unusable address in to: 'Jane <jane@example.net'"));
  EXPECT_TRUE(log.Has(Severity::Error, "GenSMTPService::ServiceSendSMS - Failed To set email fields"));
}

}  // namespace
}  // namespace talvenix::testing
