// SPDX-License-Identifier: Apache-2.0
#pragma once
// The gateway of service flag 2: each part goes out as one GET to the
// Clickatell web API, Central/Connector when user and password are set, else
// Platform/Touch with the API id as key. Called on the engine's sending
// thread; starts no threads.

#include <memory>

#include "contract/service.hpp"
#include "gateways/catalog/catalog.hpp"
#include "gateways/internet/clickatell_api_wrapper.hpp"

namespace talvenix {

class ClickATellService : public GenericGSMService {
 public:
  explicit ClickATellService(ILogInterface* logger);
  ~ClickATellService() override;

  // Loads the service's own block and its endpoint attributes.
  int LoadServiceSpecficConfigurations(TalvexGenericOptions* options, IGSMConfigurationInterface* loader) override;
  // Status code: 0 sent, 1, 6, 18, 41, 58, 74 or 107.
  int32_t ServiceSendSMS(uint32_t one, uint32_t disable_unicode, TalvexSmsRequest* request) override;
  int ServiceInit(TalvexHostCallback callback, uintptr_t context, IGSMConfigurationInterface* loader) override;
  void ServiceUninit() override;
  const char* GetServiceName() override { return kClickatellService.display_name; }
  // A new wrapper with the service's logger and endpoints; null when memory runs out.
  virtual internet::ClickATellAPIWrapper* CreateClickATellAPIInstance();

  const TalvexClickatellSettings& settings() const { return *settings_; }
  const internet::ClickatellEndpoints& endpoints() const { return endpoints_; }

 private:
  std::unique_ptr<internet::ClickATellAPIWrapper> wrapper_;
  std::unique_ptr<TalvexClickatellSettings> settings_;  // 25,000 bytes: kept off the stack
  internet::ClickatellEndpoints endpoints_;
};

// The status code of a wrapper result.
int32_t ClickatellStatusOf(int wrapper_result);

}  // namespace talvenix
