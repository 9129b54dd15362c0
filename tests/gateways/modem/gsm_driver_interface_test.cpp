// SPDX-License-Identifier: Apache-2.0
// Loading the GSM driver library: where it is looked for, what a broken
// driver file gives, and the forwarders of an unloaded driver.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>

#include "drivers/sim/gsm_sim_client.hpp"
#include "gateways/modem/gsm_driver_interface.hpp"
#include "platform/program_path.hpp"

namespace talvenix::testing {
namespace {

using sim::SimClient;

class GsmDriverBinding : public ::testing::Test {
 protected:
  GsmDriverBinding() : sim(SimClient::Get()) { sim.Reset(); }
  ~GsmDriverBinding() override { unsetenv(TALVEX_GSM_DRIVER_ENV); }

  SimClient& sim;
  GSMDriverInterface driver;
};

// Only ever a whole path: a bare name would be searched for, on Windows in
// the working folder and on PATH, where a planted library would be taken.
TEST_F(GsmDriverBinding, TheDriverIsTakenFromBesideTheModuleOrTheConfiguredFileOnly) {
  namespace fs = std::filesystem;
  unsetenv(TALVEX_GSM_DRIVER_ENV);
  // This program holds the modem gateway: its own folder is where the driver must be.
  const fs::path beside = fs::path(platform::ProgramFolder()) / TALVEX_GSM_DRIVER_FILE;
  EXPECT_EQ(fs::path(GSMDriverInterface::DriverPath()).lexically_normal(), beside.lexically_normal());
  setenv(TALVEX_GSM_DRIVER_ENV, "", 1);
  EXPECT_EQ(fs::path(GSMDriverInterface::DriverPath()).lexically_normal(), beside.lexically_normal());
  setenv(TALVEX_GSM_DRIVER_ENV, "modems/driver.so", 1);
  EXPECT_EQ(fs::path(GSMDriverInterface::DriverPath()), fs::current_path() / "modems" / "driver.so");
  // Nothing named like the driver stands beside this program, and the search path is not tried.
  unsetenv(TALVEX_GSM_DRIVER_ENV);
  EXPECT_EQ(driver.LoadDriver(), 0);
  EXPECT_NE(driver.LastError().find(beside.filename().string()), std::string::npos) << driver.LastError();
}

TEST_F(GsmDriverBinding, LoadsACompleteDriverAndForwardsToIt) {
  setenv(TALVEX_GSM_DRIVER_ENV, SimClient::Path().c_str(), 1);
  ASSERT_EQ(driver.LoadDriver(), 1);
  EXPECT_TRUE(driver.IsLoaded());
  EXPECT_EQ(driver.InitDriver(), 0);
  TalvexDriverLineRecord line{};
  line.comport = 7;
  line.baudrate = 2400;
  EXPECT_EQ(driver.AddGSMLine(&line), 0);
  driver.UninitGSMLine(7, 1);
  TalvexSmsRequest request{};
  request.recipient = "123";
  EXPECT_EQ(driver.SendDriverSMS(4, &request), TALVEX_FAILED);  // no line left to send on
  driver.ShutdownDriver();
  driver.UnloadDriver();
  EXPECT_FALSE(driver.IsLoaded());
  EXPECT_EQ(sim.Calls(), "init\nadd 7 2400\nuninit 7 1\nsend 4 123 \nshutdown");
}

TEST_F(GsmDriverBinding, AMissingFileOrEntryPointLeavesNothingLoaded) {
  setenv(TALVEX_GSM_DRIVER_ENV, "/nonexistent/qvGSMcomdrv.Qvd", 1);
  EXPECT_EQ(driver.LoadDriver(), 0);
  EXPECT_TRUE(driver.LastErrorKind() == platform::ErrorKind::kNotFound) << driver.LastError();
  EXPECT_FALSE(driver.LastError().empty());

  // A file that is there but is no library.
  setenv(TALVEX_GSM_DRIVER_ENV, TALVENIX_SOURCE_DIR "/drivers/sim/gsm_sim.h", 1);
  EXPECT_EQ(driver.LoadDriver(), 0);
  EXPECT_TRUE(driver.LastErrorKind() == platform::ErrorKind::kNotLoadable) << driver.LastError();

  setenv(TALVEX_GSM_DRIVER_ENV, TALVENIX_GSMSIM_INCOMPLETE_PATH, 1);
  EXPECT_EQ(driver.LoadDriver(), 0);
  EXPECT_FALSE(driver.IsLoaded());
  EXPECT_NE(driver.LastError().find("gsmdrvreinitGSMline"), std::string::npos);

  // Every forwarder of a driver that is not loaded answers "not initialised".
  TalvexDriverLineRecord line{};
  TalvexSmsRequest request{};
  EXPECT_EQ(driver.InitDriver(), TALVEX_NOT_INITIALISED);
  EXPECT_EQ(driver.AddGSMLine(&line), TALVEX_NOT_INITIALISED);
  EXPECT_EQ(driver.SendDriverSMS(0, &request), TALVEX_NOT_INITIALISED);
  driver.UninitGSMLine(1, 1);
  driver.ShutdownDriver();
  EXPECT_EQ(sim.Calls(), "");
}

TEST_F(GsmDriverBinding, DestroyingALoadedDriverShutsItDown) {
  setenv(TALVEX_GSM_DRIVER_ENV, SimClient::Path().c_str(), 1);
  {
    GSMDriverInterface loaded;
    ASSERT_EQ(loaded.LoadDriver(), 1);
    ASSERT_EQ(loaded.InitDriver(), 0);
  }
  EXPECT_EQ(sim.Calls(), "init\nshutdown");
}

TEST(DynamicLibrary, TellsTheFolderOfTheFileHoldingAnAddress) {
  SimClient& sim = SimClient::Get();
  std::string path = SimClient::Path();
  EXPECT_TRUE(std::filesystem::equivalent(platform::DynamicLibrary::FolderOf(reinterpret_cast<const void*>(sim.Reset)),
                                          std::filesystem::path(path).parent_path()));
  EXPECT_TRUE(platform::DynamicLibrary::FileExists(path));
  EXPECT_FALSE(platform::DynamicLibrary::FileExists(path + ".missing"));
  platform::DynamicLibrary library;
  EXPECT_EQ(library.Symbol("anything"), nullptr);  // nothing loaded
  ASSERT_TRUE(library.Open(path));
  EXPECT_NE(library.Symbol("gsmdrvInit"), nullptr);
  EXPECT_EQ(library.Symbol("gsmdrvNoSuchEntry"), nullptr);
  EXPECT_TRUE(library.LastErrorKind() == platform::ErrorKind::kNotFound) << library.LastError();
}

}  // namespace
}  // namespace talvenix::testing
