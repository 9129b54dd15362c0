// SPDX-License-Identifier: Apache-2.0
#pragma once
// The gateway of service flag 7: sends each message as one sendMessages call
// to the MessageMedia SOAP web service, and runs a poll thread that fetches
// incoming replies, hands each to the host and confirms it right after.
//
// Threads: the contract operations run on the host's thread; the poll thread
// reads the poll interval and calls the host callback. The settings block is
// guarded, because UpdateConfigs rewrites it while the poll thread reads it.

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "contract/service.hpp"
#include "gateways/catalog/catalog.hpp"
#include "gateways/messagemedia/soap_client_library.hpp"
#include "platform/sync.hpp"

namespace talvenix {

class MessageMediaService : public GenericGSMService {
 public:
  static constexpr uint32_t kMaxReplies = 100;
  // Fetches of one poll cycle: the first and the immediate ones for remaining replies.
  static constexpr uint32_t kMaxFetchesInRow = 10;

  explicit MessageMediaService(ILogInterface* logger);
  // Stops the poll thread if ServiceUninit has not.
  ~MessageMediaService() override;

  // The descriptor's load, which also refreshes the running user name,
  // password, poll interval, endpoint and the client's credentials.
  int ConfigLoad(IGSMConfigurationInterface* loader, void* settings_block, uint32_t mode) override;
  int LoadServiceSpecficConfigurations(TalvexGenericOptions* options, IGSMConfigurationInterface* loader) override;
  // 0 sent, 1 failed (logged), 18 before ServiceInit, 6 for a null request.
  int32_t ServiceSendSMS(uint32_t one, uint32_t disable_unicode, TalvexSmsRequest* request) override;
  // Starts the poll thread; 0 when already running, for a null argument, or
  // when the thread cannot start.
  int ServiceInit(TalvexHostCallback callback, uintptr_t context, IGSMConfigurationInterface* loader) override;
  // Ends the poll thread and returns once it has. A send or fetch in flight
  // is cut short; a confirmation in flight may finish within a short grace.
  void ServiceUninit() override;
  // Reloads the properties into the running gateway; 1 on success.
  int UpdateConfigs(uint32_t* change_mask, TalvexGenericOptions* options, uint32_t value_b, uint32_t value_a) override;
  const char* GetServiceName() override { return kMessageMediaService.display_name; }

  // The web-service client from the SOAP library (null when the library
  // could not be loaded or made none: the gateway then does not start); owned.
  IMessageMediaClient* client() { return client_.get(); }
  // The poll interval in minutes as the running settings give it (at least 1).
  uint32_t PollIntervalMinutes();

 private:
  void GetSMSsReceived();

  IGSMConfigurationInterface* loader_ = nullptr;
  std::mutex settings_mutex_;
  TalvexMessageMediaSettings settings_{};
  TalvexGenericOptions* options_ = nullptr;
  SoapClientLibrary soap_;  // before the client, which must go first
  MessageMediaClientPtr client_;
  std::string no_client_;  // why there is no client
  TalvexHostCallback callback_ = nullptr;
  uintptr_t context_ = 0;
  std::thread poll_thread_;              // m_hGetSMSsThread
  platform::AutoResetEvent poll_event_;  // m_hGetRemainingSMSsEvent
};

}  // namespace talvenix
