// SPDX-License-Identifier: Apache-2.0
#include "drivers/at/at_settings.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "platform/host_settings.hpp"
#include "platform/serial_port.hpp"
#include "support/log_backend.hpp"
#include "support/overrides.hpp"
#include "support/value_cipher.hpp"

namespace talvenix::at {
namespace {

std::atomic<uintptr_t> log_handle{0};

}  // namespace

Timing TimingFromEnvironment() {
  Timing t;
  std::string text = AtTimingOverride();
  std::string_view rest(text);
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view name = item.substr(0, eq), value = item.substr(eq + 1);
    if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string_view::npos) continue;
    uint32_t v = static_cast<uint32_t>(std::strtoul(std::string(value).c_str(), nullptr, 10));
    if (name == "command")
      t.command_ms = v;
    else if (name == "submit")
      t.submit_ms = v;
    else if (name == "keepalive")
      t.keepalive_ms = v;
    else if (name == "backoff")
      t.backoff_ms = v;
    else if (name == "backoffmax")
      t.backoff_max_ms = v;
    else if (name == "reassembly")
      t.reassembly_ms = v;
    else if (name == "failures")
      t.failures = v ? v : 1;
  }
  return t;
}

namespace {

// The value of COM<N> in `section` ("" when absent), or nothing when the
// settings file is there but unusable.
std::optional<std::string> HostSetting(const char* section, uint32_t comport) {
  platform::HostSettings settings;
  switch (settings.Load(HostSettingsPath())) {
    case platform::HostSettings::Status::kLoaded:
      return settings.Get(section, "COM" + std::to_string(comport)).value_or("");
    case platform::HostSettings::Status::kMissing:
      return "";
    case platform::HostSettings::Status::kUnreadable:
    case platform::HostSettings::Status::kMalformed:
      break;
  }
  return std::nullopt;
}

}  // namespace

std::string DevicePathOf(uint32_t comport) {
  std::optional<std::string> path = HostSetting("serialports", comport);
  if (!path) return {};
  return path->empty() ? platform::DefaultDevicePath(comport) : *path;
}

SimPin SimPinOf(uint32_t comport) {
  std::string stored = HostSetting("simpins", comport).value_or("");
  SimPin result;
  if (stored.empty() || DecipherValue(stored, result.pin)) return result;
  return SimPin{stored, true};  // digits are never enciphered text
}

void OpenLog() {
  if (log_handle.load()) return;
  log_handle = logbackend::Open("GSMDRV", "qvGSMcomdrv.log", LogLevelOverride(2), 0x500000);
}

void CloseLog() {
  uintptr_t h = log_handle.exchange(0);
  if (h) logbackend::Close(h);
}

void Log(int severity, const char* format, ...) {
  uintptr_t h = log_handle.load();
  if (!h || !logbackend::Records(h, severity)) return;
  va_list args;
  va_start(args, format);
  logbackend::Write(h, severity, severity, format, args);
  va_end(args);
}

}  // namespace talvenix::at
