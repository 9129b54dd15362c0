// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "drivers/at/at_driver_platform.hpp"

namespace talvenix::testing {

std::string ModemDevice(const TempFolder& folder, int port) {
  return (folder.path() / ("modem" + std::to_string(port))).string();
}

std::string HostSettingsLocation(const TempFolder& folder) { return folder.File("talvenix-host.ini"); }
void WriteHostSettings(const TempFolder& folder, const std::string& ini) { folder.Write("talvenix-host.ini", ini); }
void RemoveHostSettings(const TempFolder&) {}  // the folder goes

// Opened and locked like modem programs do; the driver finds the holder in /proc.
struct DeviceHold::Holder {
  int fd = -1;
};

DeviceHold::DeviceHold(const std::string& device) : holder_(std::make_unique<Holder>()) {
  holder_->fd = open(device.c_str(), O_RDWR | O_NOCTTY);
  if (holder_->fd >= 0 && flock(holder_->fd, LOCK_EX | LOCK_NB) != 0) {
    close(holder_->fd);
    holder_->fd = -1;
  }
}

DeviceHold::~DeviceHold() {
  if (holder_->fd >= 0) close(holder_->fd);
}

bool DeviceHold::held() const { return holder_->fd >= 0; }

std::string DeviceHold::LogNote() const { return "; it is held by process " + std::to_string(getpid()) + " ("; }

}  // namespace talvenix::testing
