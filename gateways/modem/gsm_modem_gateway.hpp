// SPDX-License-Identifier: Apache-2.0
#pragma once
// The gateway of service flag 1: one or more GSM modems ("lines") driven by
// the GSM driver library. It keeps every line's settings, starts and stops
// lines in the driver, restarts only the lines whose settings changed, reports
// messages, status reports, send outcomes and line states to the host, and
// keeps a line summary in the engine's options record.
//
// Threads: the operations run on the host's thread; the driver calls
// GSMCallback on its own threads. One re-entrant lock covers every callback,
// every change of the line list or of a running line's record, and every
// refresh of the summary; it is never held while the driver stops a line, so
// a driver that waits for its threads cannot deadlock against a callback.

#include <memory>
#include <mutex>

#include "contract/received_message.hpp"
#include "contract/service.hpp"
#include "gateways/catalog/catalog.hpp"
#include "gateways/modem/gsm_driver_interface.hpp"
#include "gateways/modem/line_properties.hpp"
#include "gateways/modem/reentrant_lock.hpp"

namespace talvenix {

class Vantrel_GSMCOMDrvInterface : public IServiceMultiLine {
 public:
  explicit Vantrel_GSMCOMDrvInterface(ILogInterface* logger);
  // Stops a driver that is still running first (ServiceUninit normally has).
  ~Vantrel_GSMCOMDrvInterface() override;

  // settings_block: TalvexLineRecordList** whose list ConfigLoad allocated;
  // frees it with the records of every load into it.
  void FreeXMLLoadResources(void* settings_block) override;
  // settings_block: a TalvexLineRecord; writes the properties of `property_mask`.
  int ConfigUpdate(IGSMConfigurationInterface* loader, void* settings_block, uint32_t property_mask) override;
  // settings_block: TalvexLineRecordList**; a null list is allocated, an
  // existing one is refilled (its earlier records stay valid until freed).
  int ConfigLoad(IGSMConfigurationInterface* loader, void* settings_block, uint32_t load_mode) override;
  int LoadServiceSpecficConfigurations(TalvexGenericOptions* options, IGSMConfigurationInterface* loader) override;
  int32_t ServiceSendSMS(uint32_t reserved_one, uint32_t disable_unicode, TalvexSmsRequest* request) override;
  int ServiceInit(TalvexHostCallback callback, uintptr_t context, IGSMConfigurationInterface* loader) override;
  void ServiceUninit() override;
  // Restarts only the lines whose settings changed; the change mask and the
  // host's two values are not read.
  int UpdateConfigs(uint32_t* change_mask, TalvexGenericOptions* options, uint32_t host_value_b,
                    uint32_t host_value_a) override;
  const char* GetServiceName() override { return kModemService.display_name; }

  int ServiceAddLine(TalvexDriverLineRecord* driver_line) override;
  int ServiceInitLines() override;
  int CreateNewLine(IGSMConfigurationInterface* loader, const TalvexLineRecord* line_record) override;
  int DeleteLine(IGSMConfigurationInterface* loader, uint32_t line_number) override;

  // A new, unloaded driver binding; null when it cannot be allocated.
  virtual std::unique_ptr<GSMDriverInterface> CreateDriverInterface();

  // The driver's callback (its address goes into every driver line record and
  // every SMS request). `context` must be a live gateway; anything else is
  // ignored.
  static void TALVEX_CALL GSMCallback(int32_t code, int32_t line, uint32_t kind, void* context, void* data,
                                      uint32_t data_kind);

  // For tests: the running lines (slots may be null) under the lock.
  template <typename Fn>
  void WithLines(Fn&& fn) {
    std::lock_guard lock(mutex_);
    fn(static_cast<const gsm::LineRecords&>(lines_));
  }

 private:
  void OnCallback(int32_t code, int32_t line, uint32_t kind, void* data, uint32_t data_kind);
  void OnLineState(int32_t code, int32_t line);
  void OnReceived(int32_t code, int32_t line, void* data, uint32_t data_kind);
  // Fills `message` from the driver's data and hands it to the host.
  void Deliver(ReceivedMessage& message, int32_t code, int32_t line, void* data, uint32_t data_kind);
  // Starts one line in the driver; 1 when accepted.
  int StartLine(const TalvexLineRecord& line);
  // Marks the line as waiting for the driver, starts it, marks it failed when refused.
  bool StartAndTrack(TalvexLineRecord* line);
  void SetStatus(TalvexLineRecord* line, uint32_t status);
  // Writes "[cleansimenabled]" "0" for the line, so the SIM is cleaned once.
  void ResetCleanSim(uint32_t comport);
  // Rebuilds the summary in the kept options record; call with the lock held.
  void RefreshLineStatus();

  TalvexHostCallback callback_ = nullptr;
  uintptr_t context_ = 0;
  IGSMConfigurationInterface* loader_ = nullptr;
  TalvexGenericOptions* options_ = nullptr;
  gsm::LineRecords lines_;
  // The record of incoming messages, filled again for each one under the lock
  // so its storage is reused; a nested delivery gets a record of its own.
  ReceivedMessage received_;
  bool received_in_use_ = false;
  std::unique_ptr<GSMDriverInterface> driver_;
  gsm::ReentrantLock mutex_;
};

}  // namespace talvenix
