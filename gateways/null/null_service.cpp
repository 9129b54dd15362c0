// SPDX-License-Identifier: Apache-2.0
#include "gateways/null/null_service.hpp"

#include <chrono>
#include <system_error>

#include "contract/received_message.hpp"

namespace talvenix {

NullService::NullService(ILogInterface* logger) : GenericGSMService(logger, kNullService) {}

NullService::~NullService() { ServiceUninit(); }

int32_t NullService::ServiceSendSMS(uint32_t, uint32_t, TalvexSmsRequest*) {
  logger_->Info("NulDrv: sending SMS");
  std::this_thread::sleep_for(std::chrono::milliseconds(kSendPauseMs));
  return TALVEX_OK;
}

int NullService::ServiceInit(TalvexHostCallback callback, uintptr_t context, IGSMConfigurationInterface*) {
  if (initialised_) return 0;
  callback_ = callback;
  context_ = context;
  try {
    generator_ = std::thread(&NullService::Generate, this);
  } catch (const std::system_error&) {
    logger_->Error("NullDriver::ServiceInit - failed.");
    initialised_ = 0;
    return 0;
  }
  initialised_ = 1;
  return 1;
}

void NullService::ServiceUninit() {
  if (!initialised_.exchange(0)) return;
  stop_.Set();
  if (generator_.joinable()) generator_.join();
}

void NullService::Generate() {
  ReceivedMessage message;
  // The stop event ends the wait early, so ServiceUninit never waits a full interval.
  while (!stop_.Wait(kFakeIntervalMs)) {
    TalvexReceivedMessage* r = message.get();
    r->report_reference = 0;
    r->report_status = 0;
    r->service_flag = TALVEX_SERVICE_NULL;
    r->line = 1;
    message.SetText(u"NULL DRIVER FAKE SMS");
    message.SetOriginator("88888");
    message.SetExtraText1(u"");
    message.SetExtraText2(u"");
    if (callback_) callback_(0, 0, TALVEX_EVENT_RECEIVED, context_, r, TALVEX_DATA_SMS);
  }
}

}  // namespace talvenix
