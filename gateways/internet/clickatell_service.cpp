// SPDX-License-Identifier: Apache-2.0
#include "gateways/internet/clickatell_service.hpp"

#include <cstring>
#include <new>

#include "support/text_codec.hpp"

namespace talvenix {
namespace {

constexpr SettingsLogLines kSettingsLog = {
    "ClickATellService::ConfigLoad - Invalid Parameter(s)",
    "ClickATellService::ConfigLoad - failed to load service configuration(s).",
    "ClickATellService::ConfigUpdate - Invalid Parameter(s)",
    "ClickATellService::ConfigLoad - failed to update service configuration(s).",
};
constexpr uint32_t kValueChars = TALVEX_CLICKATELL_VALUE_CHARS;

}  // namespace

int32_t ClickatellStatusOf(int r) {
  switch (r) {
    case 0:
      return TALVEX_OK;
    case -1:
    case -2:
      return TALVEX_FAILED;
    case 1:
    case 108:
      return TALVEX_CLICKATELL_AUTH_FAILED;
    case 105:
    case 114:
    case 652:
      return TALVEX_CLICKATELL_NO_CREDIT;
    default:
      return TALVEX_CLICKATELL_REFUSED;
  }
}

ClickATellService::ClickATellService(ILogInterface* logger)
    : GenericGSMService(logger, kClickatellService, kSettingsLog),
      settings_(std::make_unique<TalvexClickatellSettings>()) {
  std::memset(settings_.get(), 0, sizeof(TalvexClickatellSettings));
}

ClickATellService::~ClickATellService() = default;

int ClickATellService::LoadServiceSpecficConfigurations(TalvexGenericOptions*, IGSMConfigurationInterface* loader) {
  int result = ConfigLoad(loader, settings_.get(), 0);
  if (!result || !loader) return result;
  // Optional attributes of the service element point the gateway at other endpoints.
  std::vector<std::u16string> urls = LoadGatewaySettings(loader);
  internet::ClickatellEndpoints endpoints;
  if (!urls[kClickatellCentralUrl].empty()) endpoints.central = Utf16ToUtf8(urls[kClickatellCentralUrl]);
  if (!urls[kClickatellPlatformUrl].empty()) endpoints.platform = Utf16ToUtf8(urls[kClickatellPlatformUrl]);
  endpoints_ = endpoints;
  // A reload while running (the engine's answer to Update) redirects later messages too.
  if (wrapper_) wrapper_->SetEndpoints(endpoints_);
  return result;
}

internet::ClickATellAPIWrapper* ClickATellService::CreateClickATellAPIInstance() {
  return new (std::nothrow) internet::ClickATellAPIWrapper(logger_, endpoints_);
}

int ClickATellService::ServiceInit(TalvexHostCallback, uintptr_t, IGSMConfigurationInterface*) {
  if (initialised_) {
    logger_->Error("ClickATellService::ServiceInit - Service Already Init.");
    return 0;
  }
  wrapper_.reset(CreateClickATellAPIInstance());
  if (!wrapper_) {
    logger_->Error(" ClickATellService::ServiceInit - Failed to Create ClickATellAPI Instance");
    return 0;
  }
  initialised_ = 1;
  wrapper_->LoadProxySettings();
  return 1;
}

void ClickATellService::ServiceUninit() {
  if (!initialised_) return;
  wrapper_.reset();
  initialised_ = 0;
}

int32_t ClickATellService::ServiceSendSMS(uint32_t, uint32_t, TalvexSmsRequest* request) {
  if (!initialised_ || !wrapper_) {
    logger_->Error("ClickATellService - Not Initialized");
    return TALVEX_NOT_INITIALISED;
  }
  if (!request) {
    logger_->Error("ClickATellService - Invalid parameter");
    return TALVEX_INVALID_PARAMETER;
  }
  const TalvexClickatellSettings& s = *settings_;
  auto field = [](const char16_t* f) { return std::u16string_view(f, Utf16Length(f, kValueChars - 1)); };
  if (field(s.apiid).empty()) {
    logger_->Error("ClickATellService - Empty API key");
    return TALVEX_EMPTY_ACCOUNT_KEY;
  }
  if (!request->part) {
    logger_->Error("ClickATellService - Invalid Parameters.");
    return TALVEX_INVALID_PARAMETER;
  }
  std::string_view number = request->recipient ? request->recipient : "";
  int r = wrapper_->SendSMS(field(s.apiid), field(s.user), field(s.password), request->part, number, field(s.from));
  if (r == 0) {
    logger_->Error("ClickATellService::SendSMS - Succesfully sent SMS");
    return TALVEX_OK;
  }
  logger_->Error("ClickATellService::SendSMS - Failed To Send SMS.[%d]", r);
  return ClickatellStatusOf(r);
}

}  // namespace talvenix
