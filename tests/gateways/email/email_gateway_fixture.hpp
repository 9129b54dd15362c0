// SPDX-License-Identifier: Apache-2.0
#pragma once
// The e-mail gateway over a real loader and a real document in a fresh
// folder. Mailers get short time-outs, and every test checks that no log line
// holds the configured password. Where the SMTP server runs is the
// platform's fixture's business (email_fixture.hpp starts it on POSIX).

#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <string>

#include "common/recording_logger.hpp"
#include "common/temp_folder.hpp"
#include "support/value_cipher.hpp"
#include "config/xml_loader.hpp"
#include "gateways/email/email_document.hpp"
#include "gateways/email/gen_smtp_service.hpp"
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

class EmailGatewayBase : public ::testing::Test {
 protected:
  EmailGatewayBase() { CopyBounded(options.selectedservice, std::size(options.selectedservice), "Mail"); }
  ~EmailGatewayBase() override {
    if (password.empty()) return;
    for (const LoggedLine& line : log.lines()) EXPECT_EQ(line.text.find(password), std::string::npos) << line.text;
  }

  void UsePort(const std::string& port) { doc.properties["[smtpport]"] = port; }
  void UseLogin(const std::string& security, const std::string& user, const std::string& secret) {
    password = secret;
    doc.extras = {{"[smtpsecurity]", security}, {"[smtpuser]", user}, {"[smtppassword]", EncipherValue(secret)}};
  }

  // Writes the document and loads a fresh gateway from it.
  int Load() {
    loader = std::make_unique<XMLLoader>(&log, folder.Write("qvsmscomms.xml", doc.Xml()).c_str(), "sms");
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
