// SPDX-License-Identifier: Apache-2.0
#pragma once
// The gateway of service flag 0: sends nothing (every send succeeds after
// 300 ms) and delivers a fake incoming message to the host every second.

#include <thread>

#include "contract/service.hpp"
#include "gateways/catalog/catalog.hpp"
#include "platform/sync.hpp"

namespace talvenix {

class NullService : public GenericGSMService {
 public:
  static constexpr uint32_t kSendPauseMs = 300;
  static constexpr uint32_t kFakeIntervalMs = 1000;

  explicit NullService(ILogInterface* logger);
  ~NullService() override;

  int ConfigUpdate(IGSMConfigurationInterface*, void*, uint32_t) override { return 1; }
  int ConfigLoad(IGSMConfigurationInterface*, void*, uint32_t) override { return 1; }
  int LoadServiceSpecficConfigurations(TalvexGenericOptions*, IGSMConfigurationInterface*) override { return 1; }
  int32_t ServiceSendSMS(uint32_t reserved_one, uint32_t disable_unicode, TalvexSmsRequest* request) override;
  // Starts the generator thread; 0 when already running or the thread cannot start.
  int ServiceInit(TalvexHostCallback callback, uintptr_t context, IGSMConfigurationInterface* loader) override;
  // Stops the generator thread and returns once it has ended.
  void ServiceUninit() override;
  const char* GetServiceName() override { return kNullService.display_name; }

 private:
  void Generate();

  TalvexHostCallback callback_ = nullptr;
  uintptr_t context_ = 0;
  std::thread generator_;
  platform::ManualResetEvent stop_;  // never reset: a stopped gateway is not restarted
};

}  // namespace talvenix
