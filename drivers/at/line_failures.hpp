// SPDX-License-Identifier: Apache-2.0
#pragma once
// The codes a line reports with a failed line state: why it cannot work.

#include <cstdint>

namespace talvenix::at {

// Why a line failed: the code of its line-state callback.
enum LineFailure : int32_t {
  kFailDeviceMissing = 201,  // cannot open the device (absent, not a tty, no permission)
  kFailDeviceBusy = 202,     // another process holds the device
  kFailNoAnswer = 203,       // the modem does not answer
  kFailSimLocked = 204,      // the SIM wants a PIN or PUK that is not set or was refused, or is missing
  kFailInitRefused = 205,    // the modem refused an initialisation command
  kFailDeviceLost = 206,     // unplugged or stopped answering while in use
  kWaitNetwork = 207,        // the modem works but is registered to no network yet; sends are held
};

}  // namespace talvenix::at
