// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the driver reads besides the line record: its time limits (with
// TALVENIX_AT_TIMING overriding them for tests and slow modems), the device
// of a COM port from the host settings, and its log.

#include <cstdint>
#include <string>

namespace talvenix::at {

struct Timing {
  uint32_t command_ms = 5000;     // an ordinary command's answer
  uint32_t submit_ms = 60000;     // AT+CMGS: the network's answer
  uint32_t keepalive_ms = 60000;  // period of the registration check and the SIM listing
  uint32_t backoff_ms = 1000;     // first wait before reopening or resending; doubles up to backoff_max_ms
  uint32_t backoff_max_ms = 60000;
  uint32_t reassembly_ms = 600000;  // wait for the missing parts of a message
  uint32_t failures = 3;            // commands in a row without an answer before the line counts as lost
};

// The defaults, with "name=ms,..." from TALVENIX_AT_TIMING applied
// (names: command, submit, keepalive, backoff, backoffmax, reassembly, failures).
Timing TimingFromEnvironment();

// [serialports] COM<N> of the host settings, else the platform's default
// (/dev/ttyUSB<N-1>, or \\.\COM<N> on Windows). Empty
// when the host settings file exists but cannot be read or has a malformed
// line: a guessed device could be another line's modem.
std::string DevicePathOf(uint32_t comport);
// [simpins] COM<N> of the host settings, stored enciphered with the value
// cipher (what "talvenix config cipher PIN" prints); empty when there is
// none. A PIN in clear digits is used as it stands, and `in_clear` says so.
struct SimPin {
  std::string pin;
  bool in_clear = false;
};
SimPin SimPinOf(uint32_t comport);

// The driver's own log, "qvGSMcomdrv.log" in the working folder. Thread-safe;
// never fails the caller. Severity 0 error, 1 warning, 2 information.
void Log(int severity, const char* format, ...) __attribute__((format(printf, 2, 3)));
void OpenLog();
void CloseLog();

}  // namespace talvenix::at
