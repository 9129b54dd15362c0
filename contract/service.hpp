#pragma once
// The gateway contract. The engine and the exports use a gateway only through
// these operations; every gateway takes exactly one constructor argument, the
// shared logger, and is deleted through the virtual destructor.

#include <atomic>
#include <cstdint>

#include "contract/configuration_interface.hpp"
#include "contract/log_interface.hpp"
#include "contract/service_descriptor.hpp"
#include "talvenix/talvenix.h"

namespace talvenix {

// Capability flags.
constexpr uint32_t kCapReceives = 0x04;
constexpr uint32_t kCapSplitsItself = 0x10;
constexpr uint32_t kCapMultiLine = 0x20;
constexpr uint32_t kCapAppliesUpdates = 0x80;

class IServiceConfig {
 public:
  virtual ~IServiceConfig() = default;

  // Frees what ConfigLoad allocated inside a settings block.
  virtual void FreeXMLLoadResources(void* settings_block) = 0;
  // Writes the block's properties selected by mask; non-zero on success.
  virtual int ConfigUpdate(IGSMConfigurationInterface* loader, void* settings_block, uint32_t mask) = 0;
  // Reads the gateway's properties into the block (load mode 0 or 1).
  virtual int ConfigLoad(IGSMConfigurationInterface* loader, void* settings_block, uint32_t mode) = 0;
  // Loads the running configuration; called by Initialize and Update.
  virtual int LoadServiceSpecficConfigurations(TalvexGenericOptions* options, IGSMConfigurationInterface* loader) = 0;
  // Sends one part (or the whole text for kCapSplitsItself). Status code.
  virtual int32_t ServiceSendSMS(uint32_t one, uint32_t disable_unicode, TalvexSmsRequest* request) = 0;
  // Keeps callback and context and starts threads; non-zero on success.
  virtual int ServiceInit(TalvexHostCallback callback, uintptr_t context, IGSMConfigurationInterface* loader) = 0;
  // Stops every thread the gateway started; returns when they have ended.
  virtual void ServiceUninit() = 0;
  virtual int UpdateConfigs(uint32_t* change_mask, TalvexGenericOptions* options, uint32_t value_b,
                            uint32_t value_a) = 0;
  virtual const char* GetServiceName() = 0;  // static display name
  virtual uint32_t GetServiceFlags() = 0;
  virtual uint32_t GetServiceType() = 0;
  virtual uint32_t IsServiceInitialized() = 0;
};

class GenericGSMService : public IServiceConfig {
 public:
  explicit GenericGSMService(ILogInterface* logger) : logger_(logger) {}
  // Gateways take their service flag and capability bits from their descriptor.
  GenericGSMService(ILogInterface* logger, const ServiceDescriptor& descriptor)
      : capability_flags_(descriptor.capabilities), service_flag_(descriptor.service_flag), logger_(logger) {}

  uint32_t GetServiceFlags() override { return capability_flags_; }
  uint32_t GetServiceType() override { return service_flag_; }
  uint32_t IsServiceInitialized() override { return initialised_.load(); }

  // The two global-option operations are defined in engine/generic_options.cpp,
  // beside the gateway list that maps transport ids to service flags.
  // Reads the global options into `options`; non-zero on success.
  static int LoadGenericXMLConfigs(TalvexGenericOptions* options, IGSMConfigurationInterface* loader);
  // Writes the options selected by mask (0x1000: all) and saves.
  static int UpdateGenericXMLConfigs(IGSMConfigurationInterface* loader, TalvexGenericOptions* options, uint32_t mask);

 protected:
  uint32_t capability_flags_ = 0;
  uint32_t service_flag_ = 0;
  std::atomic<uint32_t> initialised_{0};
  ILogInterface* logger_;
};

class IServiceMultiLine : public GenericGSMService {
 public:
  using GenericGSMService::GenericGSMService;

  // Starts one line in the driver; non-zero when the driver accepted it.
  virtual int ServiceAddLine(TalvexDriverLineRecord* driver_line) = 0;
  // Starts every enabled line; returns how many started.
  virtual int ServiceInitLines() = 0;
  // Adds the line to the document; non-zero on success.
  virtual int CreateNewLine(IGSMConfigurationInterface* loader, const TalvexLineRecord* line_record) = 0;
  virtual int DeleteLine(IGSMConfigurationInterface* loader, uint32_t line_number) = 0;
};

}  // namespace talvenix
