// SPDX-License-Identifier: Apache-2.0
#pragma once
// Which processes hold a device open: the exclusive open keeps out only
// programs that ask for it too, and a probing modem manager running as root
// is the usual suspect when a modem misbehaves.

#include <string>

namespace talvenix::at {

// "process 812 (ModemManager), process 990 (minicom)", or empty when no
// process we may look at holds `device` (a symbolic link is followed).
std::string DeviceHolders(const std::string& device);

}  // namespace talvenix::at
