// SPDX-License-Identifier: Apache-2.0
#pragma once
// The gateway contract. The engine and the exports use a gateway only through
// these operations; every gateway takes exactly one constructor argument, the
// shared logger (not owned: it outlives every gateway), and is deleted through
// the virtual destructor.
//
// Threads: the host calls the exports from one thread at a time, so every
// operation below is called on that one host thread unless it says otherwise;
// a gateway's own threads (receivers, pollers) may run meanwhile and must not
// call these operations. No operation throws: a failure is a result (out of
// memory included). No operation blocks the host thread beyond the gateway's
// own time-outs.
//
// Results: operations that reach a gateway's transport return a status code
// (TALVEX_*, 0 success); configuration operations return non-zero for success
// and 0 for failure. Each declaration says which.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "contract/configuration_interface.hpp"
#include "contract/log_interface.hpp"
#include "contract/service_descriptor.hpp"
#include "talvenix/talvenix.h"

namespace talvenix {

// Capability flags: what the engine and the exports may ask of a gateway.
constexpr uint32_t kCapReceives = 0x04;        // reports incoming messages through the host callback
constexpr uint32_t kCapSplitsItself = 0x10;    // takes the whole text in one ServiceSendSMS
constexpr uint32_t kCapMultiLine = 0x20;       // derives from IServiceMultiLine
constexpr uint32_t kCapAppliesUpdates = 0x80;  // Update calls UpdateConfigs instead of a reload

class IServiceConfig {
 public:
  virtual ~IServiceConfig() = default;

  // Frees what ConfigLoad allocated inside `settings_block` (the caller's
  // block; the block itself stays the caller's). Called by the
  // FreeXMLLoadResources export on a temporary gateway; a gateway that
  // allocates nothing in ConfigLoad does nothing. Must accept null.
  virtual void FreeXMLLoadResources(void* settings_block) = 0;
  // Writes the properties of the caller's `settings_block` selected by
  // `property_mask` through `loader`, which it uses only during the call.
  // Temporary gateway of the ChangeXMLConfigurations export. Non-zero on
  // success, 0 on failure (nothing written when it fails before the save).
  virtual int ConfigUpdate(IGSMConfigurationInterface* loader, void* settings_block, uint32_t property_mask) = 0;
  // Reads the gateway's properties through `loader` into the caller's
  // `settings_block` (load mode 0, or 1 for the extras the gateway defines).
  // Temporary gateway of LoadGSMServiceXMLConfigurations; keeps neither
  // pointer. Non-zero on success, 0 on failure.
  virtual int ConfigLoad(IGSMConfigurationInterface* loader, void* settings_block, uint32_t load_mode) = 0;
  // Loads the running configuration through `loader`. Engine Initialize
  // (before ServiceInit) and Update. `options` is the engine's record: the
  // gateway may keep the pointer until ServiceUninit and write the fields it
  // maintains; `loader` is valid only during the call. Non-zero on success, 0
  // on failure (the engine then does not start or update the gateway).
  virtual int LoadServiceSpecficConfigurations(TalvexGenericOptions* options, IGSMConfigurationInterface* loader) = 0;
  // Sends one part, or the whole text with kCapSplitsItself. `reserved_one`
  // is always 1; `disable_unicode` is the option of that name (non-zero: never
  // send UTF-16). The host owns `request` and its text; the gateway may keep
  // the pointer only when it answers TALVEX_PENDING, until it reports the
  // outcome by callback (event kind 2, the same pointer as data). Status code;
  // TALVEX_NOT_INITIALISED before ServiceInit.
  virtual int32_t ServiceSendSMS(uint32_t reserved_one, uint32_t disable_unicode, TalvexSmsRequest* request) = 0;
  // Keeps `callback` and `context` until ServiceUninit returns and starts the
  // gateway's threads and connections; the callback is then called on those
  // threads. `loader` is the engine's and stays valid until ServiceUninit.
  // Non-zero on success; 0 leaves nothing running.
  virtual int ServiceInit(TalvexHostCallback callback, uintptr_t context, IGSMConfigurationInterface* loader) = 0;
  // Stops every thread the gateway started and returns when they have ended;
  // requests still pending are reported (or dropped) before it returns.
  // Engine Uninitialize, also from Unint on the host thread.
  virtual void ServiceUninit() = 0;
  // Applies a changed configuration while running (kCapAppliesUpdates only;
  // others return 0). `change_mask` holds the changed option bits (read only);
  // `options` is the engine's record, kept as for
  // LoadServiceSpecficConfigurations. `host_value_b` and `host_value_a` are the
  // Update export's third and second arguments, passed here B first, A second.
  // Non-zero on success, 0 on failure.
  virtual int UpdateConfigs(uint32_t* change_mask, TalvexGenericOptions* options, uint32_t host_value_b,
                            uint32_t host_value_a) = 0;
  // The display name: static text the caller never frees. Any thread.
  virtual const char* GetServiceName() = 0;
  // The kCap* bits, fixed at construction. Any thread.
  virtual uint32_t GetServiceFlags() = 0;
  // The service flag (TALVEX_SERVICE_*), fixed at construction. Any thread.
  virtual uint32_t GetServiceType() = 0;
  // 1 between a successful ServiceInit and ServiceUninit, else 0. Any thread.
  virtual uint32_t IsServiceInitialized() = 0;
};

// What a gateway's log says when one of its settings operations fails.
struct SettingsLogLines {
  const char* load_invalid;    // ConfigLoad without a loader or a block
  const char* load_failed;     // the loader failed to load
  const char* update_invalid;  // ConfigUpdate without a loader or a block
  const char* update_failed;   // the loader failed to update
};

class GenericGSMService : public IServiceConfig {
 public:
  // Only for gateways that are not listed (test doubles): flag and capability bits stay 0.
  explicit GenericGSMService(ILogInterface* logger) : logger_(logger) {}
  // Gateways take their service flag, capability bits and transport id from
  // their descriptor, which outlives them; `logger` is shared and not owned.
  // `log` is for the settings operations below.
  GenericGSMService(ILogInterface* logger, const ServiceDescriptor& descriptor, const SettingsLogLines& log = {});

  // Most gateways allocate nothing in ConfigLoad, so there is nothing to free.
  void FreeXMLLoadResources(void*) override {}
  // Load and update the block the descriptor describes through its settings
  // tables; a gateway overrides them only to add to what they do.
  int ConfigLoad(IGSMConfigurationInterface* loader, void* settings_block, uint32_t load_mode) override;
  int ConfigUpdate(IGSMConfigurationInterface* loader, void* settings_block, uint32_t property_mask) override;
  // A gateway without kCapAppliesUpdates applies no changes itself: 0.
  int UpdateConfigs(uint32_t*, TalvexGenericOptions*, uint32_t, uint32_t) override { return 0; }
  uint32_t GetServiceFlags() override { return capability_flags_; }
  uint32_t GetServiceType() override { return service_flag_; }
  uint32_t IsServiceInitialized() override { return initialised_.load(); }

 protected:
  // The transport id as the loader takes it.
  const char16_t* TransportId() const { return transport_id_.c_str(); }
  // The descriptor's gateway settings, in its order, each its fallback when
  // absent; every one empty when the loader cannot read the service. The
  // caller wipes the secret ones when done.
  std::vector<std::u16string> LoadGatewaySettings(IGSMConfigurationInterface* loader);

  uint32_t capability_flags_ = 0;
  uint32_t service_flag_ = 0;
  const ServiceDescriptor* descriptor_ = nullptr;  // null for test doubles
  SettingsLogLines settings_log_ = {};
  std::u16string transport_id_;
  std::atomic<uint32_t> initialised_{0};  // written on the host thread, read by gateway threads
  ILogInterface* logger_;                 // shared, not owned
};

class IServiceMultiLine : public GenericGSMService {
 public:
  using GenericGSMService::GenericGSMService;

  // Starts one line in the driver; the driver copies `driver_line`, which
  // stays the caller's. Called by the gateway itself (ServiceInitLines,
  // UpdateConfigs) on the host thread. Non-zero when the driver accepted it.
  virtual int ServiceAddLine(TalvexDriverLineRecord* driver_line) = 0;
  // Starts every enabled line after ServiceInit (engine Initialize, kCapMultiLine
  // only); returns how many started. Lines report their state later by
  // callback (event kind 3).
  virtual int ServiceInitLines() = 0;
  // Adds the line described by the caller's `line_record` to the document
  // through `loader` (used only during the call) and saves. Temporary gateway
  // of XMLConfigMultiLine_CreateNewLine. Non-zero on success, 0 on failure.
  virtual int CreateNewLine(IGSMConfigurationInterface* loader, const TalvexLineRecord* line_record) = 0;
  // Removes the line whose key property ("[comport]") is `line_number` and
  // saves. Temporary gateway of XMLConfigMultiLine_DeleteLine. Non-zero on
  // success, 0 when no line has that number or the save failed.
  virtual int DeleteLine(IGSMConfigurationInterface* loader, uint32_t line_number) = 0;
};

}  // namespace talvenix
