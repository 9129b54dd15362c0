// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include <atomic>
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
    FailNthCall<&platform::SystemCalls::create_mailslot> no_mailslot(1, ERROR_TOO_MANY_OPEN_FILES);
    EXPECT_NE(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_OK);
    EXPECT_TRUE(no_mailslot.fired());
    EXPECT_TRUE(
        log_.Has(Severity::Information, "MailSlotReader_Server::Initialize - Failed to create mail slot [erc: " +
                                            std::to_string(ERROR_TOO_MANY_OPEN_FILES) + "]"));
  }
  {
    // The first call makes the pool's port, the second associates the mailslot with it.
    FailNthCall<&platform::SystemCalls::create_io_completion_port> no_association(2, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_NE(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_OK);
    EXPECT_TRUE(no_association.fired());
    EXPECT_TRUE(
        log_.Has(Severity::Error, "MailSlotReader_Server::ListenOnMailSlot - Failed to associate handle, [erc: " +
                                      std::to_string(ERROR_NOT_ENOUGH_MEMORY) + "]"));
  }
  {
    FailNthCall<&platform::SystemCalls::create_timer> no_timer(1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_NE(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_OK);
    EXPECT_TRUE(no_timer.fired());
    EXPECT_TRUE(log_.Has(Severity::Error, " MailSlotReader_Server::IssueReadIO - Failed to initialize timeout timer."));
  }
  EXPECT_TRUE(OutgoingFiles().empty());
  EXPECT_TRUE(recorder_.events().empty());

  ASSERT_EQ(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_OK) << "nothing stays broken";
  {
    FailNthCall<&platform::SystemCalls::create_file> no_open(1, ERROR_TOO_MANY_OPEN_FILES);
    EXPECT_EQ(Send("report"), TALVEX_FAILED);
    EXPECT_TRUE(log_.Has(Severity::Information,
                         "MailSlotWriter_Client::Initialize - - Failed to connect wtih mail slot "
                         "[erc: " +
                             std::to_string(ERROR_TOO_MANY_OPEN_FILES) + "]"));
  }
  EXPECT_EQ(Send("report"), TALVEX_OK);
  EXPECT_EQ(Texts(recorder_.WaitFor(1)), std::vector<std::string>{"report"});
}

// Holds one thread at its next file creation until released: the start,
// after its server listens, when it makes the job's first file.
class HeldFileCreation {
 public:
  HeldFileCreation() {
    release_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    original_ = platform::g_system_calls.create_file;
    platform::g_system_calls.create_file = &Call;
  }
  ~HeldFileCreation() {
    Release();
    platform::g_system_calls.create_file = original_;
    CloseHandle(release_);
  }
  void HoldThisThread() { held_ = GetCurrentThreadId(); }
  void Release() { SetEvent(release_); }

 private:
  static HANDLE Call(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    DWORD me = GetCurrentThreadId();
    if (held_.compare_exchange_strong(me, 0)) WaitForSingleObject(release_, 30000);
    return original_(path, access, share, disposition, flags);
  }
  static inline HANDLE (*original_)(const wchar_t*, DWORD, DWORD, DWORD, DWORD) = nullptr;
  static inline std::atomic<DWORD> held_{0};
  static inline HANDLE release_ = nullptr;
};

TEST_F(Channel, AStopFromTheCallbackWhileTheJobIsBeingWrittenIsNotLost) {
  HeldFileCreation hold;
  StopFromCallback stopper{this};
  TalvexTestRequest request = Request();
  stopper.Arm(request);
  std::atomic<int32_t> started{-1};
  std::thread start([&] {
    hold.HoldThisThread();
    started = Run(TALVEX_CMD_SENDTESTSMS, &request);
  });
  ASSERT_EQ(SendUntil("stop now", TALVEX_OK), TALVEX_OK);
  for (int i = 0; i < 500 && stopper.result == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(stopper.result, TALVEX_FAILED);
  EXPECT_EQ(started, -1) << "the start went on before the stop";
  hold.Release();
  start.join();
  EXPECT_EQ(started, TALVEX_OK);
  EXPECT_EQ(OutgoingFiles().size(), 1u);
  // The stop held: no server hears another line once the retired one is gone.
  EXPECT_EQ(SendUntil("still there?", TALVEX_FAILED), TALVEX_FAILED);
  EXPECT_EQ(stopper.calls, 1);
}

}  // namespace
}  // namespace talvenix::testing
