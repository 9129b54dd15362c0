// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the AT driver's tests do differently per platform
// (at_driver_platform_posix.cpp, at_driver_platform_win.cpp): where a
// simulated modem's device is, where the driver finds the host settings, and
// how another program holds a modem.

#include <memory>
#include <string>

#include "common/temp_folder.hpp"

namespace talvenix::testing {

// The device the simulated modem of the line on COM `port` is reached by: a
// link in the test's folder, or on Windows a COM port of its own
// (TALVENIX_TEST_COM_BASE + port, so programs that run at once differ).
std::string ModemDevice(const TempFolder& folder, int port);

// The host settings of one test, for TALVENIX_HOST_SETTINGS: a file in the
// folder, or on Windows a registry key of the test's own.
std::string HostSettingsLocation(const TempFolder& folder);
// Replaces them with the sections and values of an INI text.
void WriteHostSettings(const TempFolder& folder, const std::string& ini);
void RemoveHostSettings(const TempFolder& folder);

// The device held open by someone else for as long as this lives.
class DeviceHold {
 public:
  explicit DeviceHold(const std::string& device);
  ~DeviceHold();
  DeviceHold(const DeviceHold&) = delete;
  DeviceHold& operator=(const DeviceHold&) = delete;
  bool held() const;
  // What the driver's log says of the device it could not open.
  std::string LogNote() const;

 private:
  struct Holder;
  std::unique_ptr<Holder> holder_;
};

}  // namespace talvenix::testing
