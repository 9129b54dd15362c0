// SPDX-License-Identifier: Apache-2.0
#include "support/overrides.hpp"

#include <cstdlib>

#include "talvenix/gsm_driver.h"

namespace talvenix {
namespace {

uint32_t Milliseconds(const char* name, uint32_t default_ms) {
  const char* env = std::getenv(name);
  if (!env || *env < '0' || *env > '9') return default_ms;
  char* end = nullptr;
  unsigned long value = std::strtoul(env, &end, 10);
  if (*end != '\0' || value > 0xFFFFFFFEul) return default_ms;
  return static_cast<uint32_t>(value);
}

}  // namespace

uint32_t PollIntervalMs(uint32_t default_ms) { return Milliseconds("TALVENIX_POLL_INTERVAL_MS", default_ms); }

uint32_t TestTimeoutMs(uint32_t default_ms) { return Milliseconds("TALVENIX_TEST_TIMEOUT_MS", default_ms); }

int LogLevelOverride(int level) {
  const char* env = std::getenv("TALVENIX_LOG_LEVEL");
  return env && env[0] >= '0' && env[0] <= '3' && env[1] == '\0' ? env[0] - '0' : level;
}

std::string GsmDriverOverride() {
  const char* env = std::getenv(TALVEX_GSM_DRIVER_ENV);
  return env ? env : "";
}

std::string HostSettingsPath() {
  const char* env = std::getenv("TALVENIX_HOST_SETTINGS");
  return env && *env ? env : "talvenix-host.ini";
}

std::string AtTimingOverride() {
  const char* env = std::getenv("TALVENIX_AT_TIMING");
  return env ? env : "";
}

std::string CaFileOverride() {
  const char* env = std::getenv("TALVENIX_CA_FILE");
  return env ? env : "";
}

}  // namespace talvenix
