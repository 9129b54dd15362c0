// SPDX-License-Identifier: Apache-2.0
#pragma once
// The GSM driver library as the modem gateway uses it: loads the file, finds
// the six entry points and forwards to them. Used from the host's thread only;
// the driver's own threads call the gateway back, never this object.

#include <string>

#include "talvenix/gsm_driver.h"
#include "platform/dynamic_library.hpp"

namespace talvenix {

class GSMDriverInterface {
 public:
  GSMDriverInterface() = default;
  // Shuts a still-loaded driver down before unloading it, so no driver thread
  // is left running in unloaded code.
  virtual ~GSMDriverInterface();
  GSMDriverInterface(const GSMDriverInterface&) = delete;
  GSMDriverInterface& operator=(const GSMDriverInterface&) = delete;

  // TALVENIX_GSM_DRIVER when set, made a whole path; else the driver file
  // beside the module, and nowhere else (never found by a search).
  static std::string DriverPath();

  // 1 when the library loaded and has all six entry points, else 0 (nothing
  // stays loaded; LastErrorCode and LastError say why).
  virtual int LoadDriver();
  virtual void UnloadDriver();
  // The forwarders answer 18 when the driver is not loaded.
  virtual int32_t InitDriver();
  virtual void ShutdownDriver();
  virtual int32_t AddGSMLine(TalvexDriverLineRecord* line);
  virtual void UninitGSMLine(uint32_t comport, uint32_t one);
  virtual int32_t SendDriverSMS(uint32_t disable_unicode, TalvexSmsRequest* request);

  bool IsLoaded() const { return loaded_; }
  int LastErrorCode() const { return library_.LastErrorCode(); }
  const platform::Error& LastErrorKind() const { return library_.LastErrorKind(); }
  const std::string& LastError() const { return library_.LastError(); }
  const std::string& LoadedPath() const { return path_; }

 private:
  template <typename Fn>
  bool Find(Fn& entry, const char* name);

  bool loaded_ = false;
  platform::DynamicLibrary library_;
  std::string path_;
  TalvexDrvAddLine add_line_ = nullptr;
  TalvexDrvReinitLine reinit_line_ = nullptr;
  TalvexDrvUninitLine uninit_line_ = nullptr;
  TalvexDrvShutdown shutdown_ = nullptr;
  TalvexDrvSendSMS send_sms_ = nullptr;
  TalvexDrvInit init_ = nullptr;
};

}  // namespace talvenix
