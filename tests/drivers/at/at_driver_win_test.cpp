// SPDX-License-Identifier: Apache-2.0
// The AT driver's Windows-only behaviour, against the modem simulator on a COM
// port of the Wine prefix.

#include "drivers/at/at_driver_fixture.hpp"

namespace talvenix::testing {
namespace {

class AtDriverOnWindows : public AtDriverFixture {};

// Without a [serialports] entry a line opens the COM port of its number.
TEST_F(AtDriverOnWindows, ALineWithoutADeviceInTheSettingsOpensItsOwnComPort) {
  std::string device = Device(3);  // \\.\COM<n>
  int port = std::stoi(device.substr(device.find("COM") + 3));
  ModemSim modem(device);
  Configure({{port, 115200, "Own"}});
  WriteHostSettings("[serialports]\n");
  ASSERT_EQ(Start(), TALVEX_OK);
  ASSERT_TRUE(WaitState(port, 0));
  EXPECT_NE(DriverLog().find("COM" + std::to_string(port) + ": opened " + device + " at 115200 baud."),
            std::string::npos);
}

}  // namespace
}  // namespace talvenix::testing
