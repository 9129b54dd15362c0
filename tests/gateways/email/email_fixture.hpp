#pragma once
// The e-mail gateway over a real loader and a real document in a fresh
// folder, sending to the aiosmtpd peer. Mailers get short time-outs, and
// every test checks that no log line holds the configured password.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>

#include "common/recording_logger.hpp"
#include "common/temp_folder.hpp"
#include "config/value_cipher.hpp"
#include "config/xml_loader.hpp"
#include "gateways/email/gen_smtp_service.hpp"
#include "gateways/email/smtp_peer.hpp"
#include "support/text_codec.hpp"

namespace talvenix::testing {

class TestGateway : public GenSMTPService {
 public:
  using GenSMTPService::GenSMTPService;
  std::unique_ptr<CEmail> CreateMailer() override {
    ++mailers;
    return std::make_unique<CEmail>(logger_, SmtpTimeouts{3000, 1});
  }
  int mailers = 0;
};

// A request as the engine hands it to a gateway: `part` points at the text.
struct PartRequest {
  PartRequest(std::u16string text, const char* number, std::u16string sender) : part(std::move(text)) {
    request = std::make_unique<TalvexSmsRequest>();
    request->part = part.c_str();
    request->recipient = number;
    CopyBounded(request->sender_name, std::size(request->sender_name), sender);
  }
  std::u16string part;
  std::unique_ptr<TalvexSmsRequest> request;
};

class EmailGatewayTest : public ::testing::Test {
 protected:
  EmailGatewayTest() {
    setenv("TALVENIX_CA_FILE", SharedCertificates().ca_file().c_str(), 1);
    CopyBounded(options.selectedservice, std::size(options.selectedservice), "Mail");
  }
  ~EmailGatewayTest() override {
    unsetenv("TALVENIX_CA_FILE");
    if (password.empty()) return;
    for (const LoggedLine& line : log.lines()) EXPECT_EQ(line.text.find(password), std::string::npos) << line.text;
  }

  void UsePeer(const SmtpPeer& peer) { doc.properties["[smtpport]"] = peer.port_text(); }
  void UseLogin(const std::string& security, const std::string& user, const std::string& secret) {
    password = secret;
    doc.extras = {{"[smtpsecurity]", security}, {"[smtpuser]", user}, {"[smtppassword]", EncipherValue(secret)}};
  }

  // Writes the document and loads a fresh gateway from it.
  int Load() {
    folder.Write("qvsmscomms.xml", doc.Xml());
    loader = std::make_unique<XMLLoader>(&log, (folder.path() / "qvsmscomms.xml").c_str(), "sms");
    gateway = std::make_unique<TestGateway>(&log);
    return gateway->LoadServiceSpecficConfigurations(&options, loader.get());
  }
  // Loads, starts and sends one part.
  int32_t Send(const std::u16string& text, const char* number = "15550100", const std::u16string& sender = u"Alice") {
    if (!Load()) return -1;
    gateway->ServiceInit(nullptr, 0, loader.get());
    PartRequest r(text, number, sender);
    return gateway->ServiceSendSMS(1, 0, r.request.get());
  }
  // The line that carries the transfer's error and the server's reply.
  std::string FailureDetail() {
    for (const LoggedLine& line : log.lines())
      if (line.text.find("; server reply: ") != std::string::npos) return line.text;
    return "";
  }

  TempFolder folder{"email"};
  RecordingLogger log;
  EmailDocument doc;
  TalvexGenericOptions options{};
  std::unique_ptr<XMLLoader> loader;
  std::unique_ptr<TestGateway> gateway;
  std::string password;
};

}  // namespace talvenix::testing
