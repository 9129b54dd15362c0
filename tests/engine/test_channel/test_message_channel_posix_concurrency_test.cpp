// SPDX-License-Identifier: Apache-2.0
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "common/system_call_faults.hpp"
#include "test_message_channel_fixture.hpp"

namespace talvenix::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(Channel, SystemFailuresAreReportedAndLeaveNoJobBehind) {
  TalvexTestRequest request = Request();
  {
    FailNthCall<&platform::SystemCalls::socket> no_socket(1, EMFILE);
    EXPECT_NE(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_OK);
    EXPECT_TRUE(no_socket.fired());
    EXPECT_TRUE(log_.Has(
        Severity::Information,
        "MailSlotReader_Server::Initialize - Failed to create mail slot [erc: " + std::to_string(EMFILE) + "]"));
  }
  {
    FailNthCall<&platform::SystemCalls::epoll_ctl> no_poll(1, ENOMEM);
    EXPECT_NE(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_OK);
    EXPECT_TRUE(no_poll.fired());
    EXPECT_TRUE(log_.Has(
        Severity::Error,
        "MailSlotReader_Server::ListenOnMailSlot - Failed to associate handle, [erc: " + std::to_string(ENOMEM) + "]"));
  }
  EXPECT_TRUE(OutgoingFiles().empty());
  EXPECT_TRUE(recorder_.events().empty());

  ASSERT_EQ(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_OK) << "nothing stays broken";
  {
    FailNthCall<&platform::SystemCalls::socket> no_socket(1, EMFILE);
    EXPECT_EQ(Send("report"), TALVEX_FAILED);
    EXPECT_TRUE(log_.Has(Severity::Information,
                         "MailSlotWriter_Client::Initialize - - Failed to connect wtih mail slot "
                         "[erc: " +
                             std::to_string(EMFILE) + "]"));
  }
  EXPECT_EQ(Send("report"), TALVEX_OK);
  EXPECT_EQ(Texts(recorder_.WaitFor(1)), std::vector<std::string>{"report"});
}

TEST_F(Channel, AStopFromTheCallbackWhileTheJobIsBeingWrittenIsNotLost) {
  // The host settings are a pipe: the start blocks reading them, after its
  // server already listens, until the test writes them.
  std::string settings = (temp_.path() / "host.fifo").string();
  ASSERT_EQ(mkfifo(settings.c_str(), 0600), 0);
  setenv("TALVENIX_HOST_SETTINGS", settings.c_str(), 1);
  StopFromCallback stopper{this};
  TalvexTestRequest request = Request();
  stopper.Arm(request);
  std::atomic<int32_t> started{-1};
  std::thread start([&] { started = Run(TALVEX_CMD_SENDTESTSMS, &request); });
  ASSERT_EQ(SendUntil("stop now", TALVEX_OK), TALVEX_OK);
  for (int i = 0; i < 500 && stopper.result == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(stopper.result, TALVEX_FAILED);
  {
    std::ofstream(settings) << "[SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\E2FG]\noutdir = "
                            << (temp_.path() / "out").string() << "\n";
  }
  start.join();
  EXPECT_EQ(started, TALVEX_OK);
  // The stop held: no server hears another line once the retired one is gone.
  EXPECT_EQ(SendUntil("still there?", TALVEX_FAILED), TALVEX_FAILED);
  EXPECT_EQ(stopper.calls, 1);
}

}  // namespace
}  // namespace talvenix::testing
