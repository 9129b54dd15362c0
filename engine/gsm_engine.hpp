// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one object that runs the module: loads the global options, builds and
// starts the selected gateway, applies the message rules to every send, and
// applies configuration changes. Runs on the host's calling thread; no lock.
// SendSMS alone may run on several threads at once when the running gateway
// has kTraitConcurrentSends: it then writes nothing the calls share, except
// the atomic fix of a "maxsmssplit" of 0.

#include <memory>

#include "contract/options_record.hpp"
#include "contract/service.hpp"

namespace talvenix {

constexpr const char* kConfigPath = "qvsmscomms.xml";
constexpr const char* kConfigRoot = "sms";

class GSMEngine {
 public:
  explicit GSMEngine(ILogInterface* logger);
  virtual ~GSMEngine();
  GSMEngine(const GSMEngine&) = delete;
  GSMEngine& operator=(const GSMEngine&) = delete;

  // A loader for the document; null when none can be made.
  virtual std::unique_ptr<IGSMConfigurationInterface> CreateConfigLoader(const char* path, const char* root);
  // A new gateway for the flag, or null (logged).
  virtual std::unique_ptr<GenericGSMService> FactoryConstructGSMService(uint32_t service_flag);

  // 0 on success; 1, 6, 17 or 121. Writes the options pointer (or null) through options_out.
  int32_t Initialize(uintptr_t context, TalvexHostCallback callback, TalvexGenericOptions** options_out,
                     const char* path, const char* root);
  // The gateway's code for the last part sent; 18 when not running, 6 for a bad request.
  int32_t SendSMS(TalvexSmsRequest* request);
  // 1, 124, 125 or 126; ORs changed options into *change_mask. The host's two
  // values go to the gateway's UpdateConfigs in the reverse order (B, A).
  int32_t Update(uint32_t* change_mask, uint32_t host_value_a, uint32_t host_value_b, TalvexGenericOptions** options);
  void Uninitialize();
  // Reads the older single-modem settings; non-zero on success.
  int ConfigLoadOldSettings(TalvexLegacyModemSettings* settings, IGSMConfigurationInterface* loader);

  bool IsInitialized() const { return initialised_; }
  ILogInterface* logger() const { return logger_; }

 private:
  // The first `kept` code units of the text, in one call (the gateway splits them).
  int32_t SendWhole(TalvexSmsRequest* request, std::u16string_view text, size_t kept);
  // `max_split`: the "maxsmssplit" option, for the log.
  int32_t SendInParts(TalvexSmsRequest* request, std::u16string_view text, int32_t chars_per_part, uint32_t max_parts,
                      int32_t max_split);
  // One gateway call for `part`; the part field is cleared afterwards unless
  // the answer is 112 (the request may then already be released).
  int32_t SendPart(TalvexSmsRequest* request, const char16_t* part);
  void ReleaseAll();

  TalvexHostCallback callback_ = nullptr;
  uintptr_t context_ = 0;
  std::unique_ptr<GenericGSMService> gateway_;
  uint32_t gateway_traits_ = 0;  // the kTrait* bits of the running gateway's descriptor
  OptionsRecord options_;
  bool initialised_ = false;
  std::unique_ptr<IGSMConfigurationInterface> loader_;
  ILogInterface* logger_;
};

}  // namespace talvenix
