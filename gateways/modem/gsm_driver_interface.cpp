// SPDX-License-Identifier: Apache-2.0
#include "gateways/modem/gsm_driver_interface.hpp"

#include <filesystem>
#include <system_error>

#include "support/overrides.hpp"

namespace talvenix {

GSMDriverInterface::~GSMDriverInterface() {
  if (loaded_) {
    ShutdownDriver();
    UnloadDriver();
  }
}

std::string GSMDriverInterface::DriverPath() {
  // The configured file, as a whole path: a bare name would be searched for,
  // on Windows in the working folder and on PATH too.
  if (std::string overridden = GsmDriverOverride(); !overridden.empty()) {
    std::error_code ec;
    std::filesystem::path whole = std::filesystem::absolute(overridden, ec);
    return ec ? overridden : whole.string();
  }
  // Else only beside the module: any address inside it tells where it was loaded from.
  return platform::DynamicLibrary::Beside(reinterpret_cast<const void*>(&GSMDriverInterface::DriverPath),
                                          TALVEX_GSM_DRIVER_FILE);
}

template <typename Fn>
bool GSMDriverInterface::Find(Fn& entry, const char* name) {
  entry = reinterpret_cast<Fn>(library_.Symbol(name));
  return entry != nullptr;
}

int GSMDriverInterface::LoadDriver() {
  UnloadDriver();
  path_ = DriverPath();
  if (!library_.Open(path_)) return 0;
  if (Find(add_line_, "gsmdrvaddGSMline") && Find(reinit_line_, "gsmdrvreinitGSMline") &&
      Find(uninit_line_, "gsmdrvuninitGSMline") && Find(shutdown_, "gsmdrvShutdown") &&
      Find(send_sms_, "gsmdrvSendSMS") && Find(init_, "gsmdrvInit")) {
    loaded_ = true;
    return 1;
  }
  // Nothing of an incomplete driver stays loaded; the library keeps the reason.
  UnloadDriver();
  return 0;
}

void GSMDriverInterface::UnloadDriver() {
  library_.Close();
  loaded_ = false;
  add_line_ = nullptr;
  reinit_line_ = nullptr;
  uninit_line_ = nullptr;
  shutdown_ = nullptr;
  send_sms_ = nullptr;
  init_ = nullptr;
}

int32_t GSMDriverInterface::InitDriver() {
  // An unloaded driver is not ready: answering 0 here would report success.
  if (!loaded_ || !init_) return TALVEX_NOT_INITIALISED;
  return init_();
}

void GSMDriverInterface::ShutdownDriver() {
  if (loaded_ && shutdown_) shutdown_();
}

int32_t GSMDriverInterface::AddGSMLine(TalvexDriverLineRecord* line) {
  if (!loaded_ || !add_line_) return TALVEX_NOT_INITIALISED;
  return add_line_(line);
}

void GSMDriverInterface::UninitGSMLine(uint32_t comport, uint32_t one) {
  if (loaded_ && uninit_line_) uninit_line_(comport, one);
}

int32_t GSMDriverInterface::SendDriverSMS(uint32_t value, TalvexSmsRequest* request) {
  if (!loaded_ || !send_sms_) return TALVEX_NOT_INITIALISED;
  return send_sms_(value, request);
}

}  // namespace talvenix
