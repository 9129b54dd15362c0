// SPDX-License-Identifier: Apache-2.0
#pragma once
// The gateway of service flag 8: SMS through an iSMS device on the local
// network, over the device's plain-HTTP API. A send hands the message to the
// device and answers 112; the device's id is tracked until a worker thread
// learns the final state and reports it to the host (event 2). The worker
// also fetches received messages and reports each one (event 1).
//
// Threads: the host's thread sends, updates and stops; the worker polls.
// Every request answered 112 gets exactly one outcome: whoever removes it
// from the tracking list (under the list lock) reports it, and ServiceUninit
// reports what is left with 12 before it returns. The settings are copied
// under their own lock for every device request, so UpdateConfigs may
// rewrite them at any time.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "contract/service.hpp"
#include "gateways/catalog/catalog.hpp"
#include "gateways/internet/multitech_device.hpp"
#include "gateways/internet/multitech_response.hpp"
#include "platform/sync.hpp"

namespace talvenix {

class MultitechISMSService : public GenericGSMService {
 public:
  static constexpr uint32_t kPollIntervalMs = 10000;

  explicit MultitechISMSService(ILogInterface* logger);
  // Stops a running worker first (reporting what it still tracked).
  ~MultitechISMSService() override;

  int LoadServiceSpecficConfigurations(TalvexGenericOptions* options, IGSMConfigurationInterface* loader) override;
  // 112 with the device's id in request->tracking_id; 59 when the device
  // cannot be reached; a device error's code; 18 when not running.
  int32_t ServiceSendSMS(uint32_t one, uint32_t disable_unicode, TalvexSmsRequest* request) override;
  // Starts the worker; 0 when already running or the thread cannot start.
  int ServiceInit(TalvexHostCallback callback, uintptr_t context, IGSMConfigurationInterface* loader) override;
  // Ends the worker, then reports every request still tracked (12) on the
  // calling thread; returns after the last report.
  void ServiceUninit() override;
  // Reloads the four properties from the kept loader; 1 on success.
  int UpdateConfigs(uint32_t* change_mask, TalvexGenericOptions* options, uint32_t value_b, uint32_t value_a) override;
  const char* GetServiceName() override { return kMultitechService.display_name; }

 private:
  struct DeviceSettings {
    std::u16string user, password, host;
    uint16_t port = 0;
  };
  struct Tracked {
    TalvexSmsRequest* request;
    uint32_t id;
  };
  struct Finished {
    TalvexSmsRequest* request;
    int32_t code;
  };

  DeviceSettings Settings();
  // ConfigLoad into a fresh block, taken over under the settings lock on success.
  int ReloadSettings(IGSMConfigurationInterface* loader);
  void Work();
  // One cycle: outcomes already decided, every tracked request's state, then
  // received messages.
  void RunCycle();
  void ReportFinished();
  void query_smss_state();
  void query_recvsms();
  void Report(TalvexSmsRequest* request, int32_t code);

  // Settings, guarded: UpdateConfigs rewrites them while other threads read.
  std::mutex settings_mutex_;
  std::unique_ptr<TalvexMultitechSettings> settings_;

  // Tracking list and the requests whose outcome is decided but not yet
  // reported (given up for a duplicate id), both under the list lock.
  std::mutex list_mutex_;
  std::vector<Tracked> tracked_;
  std::vector<Finished> finished_;

  IGSMConfigurationInterface* loader_ = nullptr;
  TalvexHostCallback callback_ = nullptr;
  uintptr_t context_ = 0;
  std::atomic<bool> stop_{false};
  std::thread worker_;
  platform::AutoResetEvent wake_;
  // One connection per thread that talks to the device, each kept alive.
  multitech::DeviceConnection send_connection_;
  multitech::DeviceConnection poll_connection_;
};

}  // namespace talvenix
