// SPDX-License-Identifier: Apache-2.0
// The modem simulator against an independent modem client: smstools' smsd
// sends a message through it and reads one from it, so the simulator behaves
// like a modem that real software accepts.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/temp_folder.hpp"
#include "drivers/at/modem_sim.hpp"

namespace talvenix::testing {
namespace {

namespace fs = std::filesystem;

TEST(SmstoolsCrossCheck, SmsdSendsAndReceivesThroughTheSimulator) {
  if (!fs::exists("/usr/sbin/smsd")) GTEST_SKIP() << "smstools is not installed";
  TempFolder folder("smsd");
  const fs::path& dir = folder.path();
  for (const char* sub : {"outgoing", "checked", "failed", "incoming", "sent"}) fs::create_directories(dir / sub);
  ModemSim modem((dir / "modem").string());
  modem.Store(ModemSim::DeliverPdu("+15550100", u"Hello smsd \u00E9"));
  std::string conf = "devices = GSM1\nlogfile = " + (dir / "smsd.log").string() +
                     "\nloglevel = 7\n"
                     "outgoing = " +
                     (dir / "outgoing").string() + "\nchecked = " + (dir / "checked").string() +
                     "\nfailed = " + (dir / "failed").string() + "\nincoming = " + (dir / "incoming").string() +
                     "\nsent = " + (dir / "sent").string() + "\ninfofile = " + (dir / "smsd.working").string() +
                     "\npidfile = " + (dir / "smsd.pid").string() +
                     "\ndelaytime = 1\ndelaytime_mainprocess = 1\n\n[GSM1]\ndevice = " + modem.link() +
                     "\nincoming = yes\nbaudrate = 115200\n";
  folder.Write("smsd.conf", conf);
  folder.Write("outgoing/message", "To: 46708251358\n\nHello from smstools\n");

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl("/usr/sbin/smsd", "smsd", "-t", "-c", (dir / "smsd.conf").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  bool sent = modem.WaitSubmitted(1, 30000);
  bool received = false;
  for (int i = 0; i < 300 && !received; ++i) {
    for (const auto& entry : fs::directory_iterator(dir / "incoming"))
      received = received ||
                 folder.Read("incoming/" + entry.path().filename().string()).find("Hello smsd") != std::string::npos;
    if (!received) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(child, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100 && waitpid(child, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (waitpid(child, &status, WNOHANG) == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  ASSERT_TRUE(sent) << folder.Read("smsd.log");
  auto submitted = modem.submitted();
  EXPECT_EQ(submitted[0].pdu.recipient.text, "+46708251358");
  EXPECT_EQ(submitted[0].pdu.text, u"Hello from smstools");
  EXPECT_TRUE(received) << folder.Read("smsd.log");
  EXPECT_EQ(modem.stored_count(), 0u);  // smsd deletes what it read
}

}  // namespace
}  // namespace talvenix::testing
