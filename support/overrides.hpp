// SPDX-License-Identifier: Apache-2.0
#pragma once
// The test and deployment overrides read from the environment, each in one
// place. A value that is not a plain decimal number is ignored.

#include <cstdint>
#include <string>

namespace talvenix {

// TALVENIX_POLL_INTERVAL_MS, else `default_ms`: the interval of every polling
// gateway (device state queries, reply fetches).
uint32_t PollIntervalMs(uint32_t default_ms);

// TALVENIX_TEST_TIMEOUT_MS, else `default_ms`: the test channel's time limit.
uint32_t TestTimeoutMs(uint32_t default_ms);

// TALVENIX_LOG_LEVEL when it is one digit from 0 to 3, else `level`: the
// detail of the module's log.
int LogLevelOverride(int level);

// TALVENIX_GSM_DRIVER: the GSM driver library to load instead of the one
// beside the module. Empty when unset.
std::string GsmDriverOverride();

// TALVENIX_HOST_SETTINGS, else "talvenix-host.ini" in the working folder:
// the host's settings file (proxy, outgoing folder, serial ports).
std::string HostSettingsPath();

// TALVENIX_AT_TIMING: the AT driver's time limits for tests, as
// "name=ms,name=ms" (the driver reads the names). Empty when unset.
std::string AtTimingOverride();

// TALVENIX_CA_FILE: a CA file that every TLS client verifies peers against
// instead of the system bundle. Empty when unset.
std::string CaFileOverride();

}  // namespace talvenix
