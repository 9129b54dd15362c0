// SPDX-License-Identifier: Apache-2.0
#pragma once
// The gateway of service flag 4: every SMS part goes out as one e-mail built
// from a template of the configuration document, with placeholders replaced
// by the recipient's number, the part's text and the sender's name. It
// neither receives nor tracks delivery. All operations run on the host's
// calling thread; the gateway starts no thread of its own.

#include <memory>
#include <string>

#include "contract/service.hpp"
#include "gateways/catalog/catalog.hpp"
#include "gateways/email/email.hpp"

namespace talvenix {

class GenSMTPService : public GenericGSMService {
 public:
  explicit GenSMTPService(ILogInterface* logger);
  ~GenSMTPService() override;

  // Loads the properties and the template they name; keeps both pointers.
  int LoadServiceSpecficConfigurations(TalvexGenericOptions* options, IGSMConfigurationInterface* loader) override;
  // One e-mail for the request's part: 0 sent, 1 failed, 6 no request, 18 not initialised.
  int32_t ServiceSendSMS(uint32_t one, uint32_t disable_unicode, TalvexSmsRequest* request) override;
  int ServiceInit(TalvexHostCallback callback, uintptr_t context, IGSMConfigurationInterface* loader) override;
  // Stops sending and forgets the addresses, template, body and password.
  void ServiceUninit() override;
  const char* GetServiceName() override { return kEmailService.display_name; }

  // A new mailer holding the gateway's logger, owned by the caller; null when
  // it cannot be allocated. Tests give it shorter time-outs.
  virtual std::unique_ptr<CEmail> CreateMailer();

  // For tests: the running settings block.
  const TalvexSmtpSettings& settings() const { return *settings_; }

 private:
  // [smtpsecurity], [smtpuser], [smtppassword]: optional, outside the host's block.
  void LoadSubmissionSettings(IGSMConfigurationInterface* loader);
  int LoadTemplate(IGSMConfigurationInterface* loader, int result);

  TalvexGenericOptions* options_ = nullptr;
  IGSMConfigurationInterface* loader_ = nullptr;
  std::unique_ptr<TalvexSmtpSettings> settings_;
  std::u16string security_ = u"none";
  std::u16string user_;
  std::u16string password_;
};

}  // namespace talvenix
