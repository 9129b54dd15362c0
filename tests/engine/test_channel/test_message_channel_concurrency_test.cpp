// SPDX-License-Identifier: Apache-2.0
#include <atomic>
#include <string>
#include <thread>

#include "common/recording_logger.hpp"
#include "engine/test_channel/mail_slot_server.hpp"
#include "engine/test_channel/test_message_channel.hpp"
#include "hostkit/module.hpp"
#include "platform/mailslot.hpp"
#include "test_message_channel_fixture.hpp"

namespace talvenix::testing {
namespace {

using namespace std::chrono_literals;
using host::Module;

// ---- Through the exported ExecuteCommand, as a host calls it ---------------

class ExportedChannel : public ChannelFixture {
 protected:
  void TearDown() override {
    m.ExecuteCommand(TALVEX_CMD_STOPTEST, nullptr, 0);
    ChannelFixture::TearDown();
  }
  int32_t Send(const char* text) { return m.ExecuteCommand(TALVEX_CMD_SENDTESTSENDDATA, const_cast<char*>(text), 0); }
  Module& m = Module::Get();
};

TEST_F(ExportedChannel, WritesTheJobDeliversLinesInOrderTimesOutAndKeepsListening) {
  SetTimeLimit(300);
  TalvexTestRequest request = Request();
  ASSERT_EQ(m.ExecuteCommand(TALVEX_CMD_SENDTESTSMS, &request, 0), TALVEX_OK);

  auto files = OutgoingFiles();
  ASSERT_EQ(files.size(), 1u);  // only the finished job: no temporary, body or reservation file
  EXPECT_EQ(files[0].substr(0, 7), "testsms");
  EXPECT_EQ(files[0].substr(files[0].size() - 4), ".sqv");
  std::string job = temp_.Read("out/sms/" + files[0]);
  EXPECT_NE(job.find("Recipient-Number: +15550100\n"), std::string::npos);
  EXPECT_NE(job.find("Subject: Subject\n"), std::string::npos);
  EXPECT_NE(job.find("Line: 2\n"), std::string::npos);
  EXPECT_NE(job.find("Flags: 0x00000040\n"), std::string::npos);
  EXPECT_EQ(job.substr(job.size() - 7), "Test \xC3\xA9");

  std::thread reporter([&] {
    EXPECT_EQ(Send("first"), TALVEX_OK);
    EXPECT_EQ(Send("second"), TALVEX_OK);
  });
  reporter.join();
  auto events = recorder_.WaitFor(3);
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[0], Message("first"));
  EXPECT_EQ(events[1], Message("second"));
  EXPECT_EQ(events[2], Status(TALVEX_TEST_TIMEOUT));

  // The read stayed pending through the time-out.
  ASSERT_EQ(Send("late"), TALVEX_OK);
  events = recorder_.WaitFor(4);
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events[3], Message("late"));

  EXPECT_EQ(m.ExecuteCommand(TALVEX_CMD_STOPTEST, nullptr, 0), TALVEX_FAILED);
  size_t seen = recorder_.events().size();
  EXPECT_EQ(Send("after stop"), TALVEX_FAILED);
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(recorder_.events().size(), seen);  // nothing after the stop, not even a time-out
}

TEST_F(ExportedChannel, AnotherProcessReportsThroughTheHostProgram) {
  TalvexTestRequest request = Request();
  ASSERT_EQ(m.ExecuteCommand(TALVEX_CMD_SENDTESTSMS, &request, 0), TALVEX_OK);
  EXPECT_EQ(RunHostProgram({"test-sms-report", "delivered"}), 0);
  EXPECT_EQ(RunHostProgram({"test-sms-report", "confirmed by handset"}), 0);
  auto events = recorder_.WaitFor(2);
  EXPECT_EQ(Texts(events), (std::vector<std::string>{"delivered", "confirmed by handset"}));
  ASSERT_EQ(m.ExecuteCommand(TALVEX_CMD_STOPTEST, nullptr, 0), TALVEX_FAILED);
  EXPECT_EQ(RunHostProgram({"test-sms-report", "nobody listens"}), 1);
}

TEST_F(Channel, BadCommandsAndDataGetTheirCodesAndLines) {
  EXPECT_EQ(Run(7, nullptr), TALVEX_INVALID_PARAMETER);
  EXPECT_TRUE(log_.Has(Severity::Error, "ExecuteCommand::TALVEX_CMD_SENDTESTSMS - Failed, Invalid command."));
  EXPECT_EQ(Run(TALVEX_CMD_SENDTESTSMS, nullptr), TALVEX_INVALID_PARAMETER);
  EXPECT_TRUE(log_.Has(Severity::Error, "ExecuteCommand::TALVEX_CMD_SENDTESTSMS - Failed, Invalid Parameter(s)."));
  EXPECT_EQ(Run(TALVEX_CMD_SENDTESTSENDDATA, nullptr), TALVEX_INVALID_PARAMETER);
  EXPECT_TRUE(log_.Has(Severity::Error, "ExecuteCommand::TALVEX_CMD_SENDTESTSENDDATA - Invalid Parameter(s)."));

  EXPECT_EQ(Send("nobody"), TALVEX_FAILED);
  EXPECT_TRUE(
      log_.Has(Severity::Error, "ExecuteCommand::TALVEX_CMD_SENDTESTSENDDATA - Failed to connect with mail slot."));
  EXPECT_TRUE(log_.Has(Severity::Information,
                       "MailSlotWriter_Client::Initialize - - Failed to connect wtih mail slot [erc: 2]"));
  EXPECT_EQ(Run(TALVEX_CMD_STOPTEST, nullptr), TALVEX_FAILED);  // nothing running: same result

  TalvexTestRequest no_callback = Request();
  no_callback.callback = nullptr;
  EXPECT_EQ(Run(TALVEX_CMD_SENDTESTSMS, &no_callback), TALVEX_INVALID_PARAMETER);
  EXPECT_TRUE(
      log_.Has(Severity::Error, "ExecuteCommand::TALVEX_CMD_SENDTESTSMS - Failed, to intialize mail slot server."));
  EXPECT_TRUE(OutgoingFiles().empty());
}

TEST_F(Channel, ASecondStartReplacesTheFirstServer) {
  EventRecorder first;
  TalvexTestRequest request = Request();
  request.context = first.context();
  ASSERT_EQ(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_OK);
  EXPECT_TRUE(
      log_.Has(Severity::Error, "ExecuteCommand::TALVEX_CMD_SENDTESTSMS - Successfully Created Mail Slot Server."));
  request = Request();
  ASSERT_EQ(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_OK);
  ASSERT_EQ(Send("to the second"), TALVEX_OK);
  EXPECT_EQ(Texts(recorder_.WaitFor(1)), std::vector<std::string>{"to the second"});
  EXPECT_TRUE(first.events().empty());
  EXPECT_EQ(OutgoingFiles().size(), 2u);  // one job per start
}

TEST_F(Channel, OversizedEmptyAndBurstsOfMessages) {
  TalvexTestRequest request = Request();
  ASSERT_EQ(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_OK);
  platform::MailslotWriter raw;
  ASSERT_EQ(raw.Open("\\\\.\\mailslot\\VantrelOrlinda\\GSM\\smstest").system_code(), 0);
  std::string big(1500, 'a');
  ASSERT_EQ(raw.Write(big.data(), big.size()).system_code(), 0);
  ASSERT_EQ(raw.Write("", 0).system_code(), 0);
  ASSERT_EQ(Send(""), TALVEX_OK);  // just the NUL
  auto events = recorder_.WaitFor(3);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], Message(std::string(999, 'a')));
  EXPECT_EQ(events[1], Message(""));
  EXPECT_EQ(events[2], Message(""));
  EXPECT_TRUE(log_.Has(Severity::Warning,
                       "MailSlotReader_Server::ReadComplete - Message longer than 999 bytes, the rest was dropped."));

  constexpr int kThreads = 4, kLines = 150;
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i)
        if (Send((std::to_string(t) + ":" + std::to_string(i)).c_str()) != TALVEX_OK) ++failures;
    });
  for (auto& s : senders) s.join();
  EXPECT_EQ(failures, 0);
  events = recorder_.WaitFor(3 + kThreads * kLines);
  ASSERT_EQ(events.size(), 3u + kThreads * kLines);  // none lost
  int next[kThreads] = {};
  for (size_t i = 3; i < events.size(); ++i) {  // each sender's lines in its order
    int t = events[i].text[0] - '0';
    EXPECT_EQ(events[i].text, std::to_string(t) + ":" + std::to_string(next[t]++));
  }
}

TEST_F(Channel, AnOutgoingFolderThatCannotTakeTheJobStopsTheServer) {
  std::filesystem::remove_all(Outgoing());
  TalvexTestRequest request = Request();
  EXPECT_EQ(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_FAILED);
  EXPECT_TRUE(log_.Has(Severity::Error, "ExecuteCommand::TALVEX_CMD_SENDTESTSMS - Failed, to Create Fake SQV file."));
  EXPECT_EQ(Send("anyone?"), TALVEX_FAILED);  // nobody listens any more

  temp_.Write("out/sms", "a file where the folder should be");
  EXPECT_EQ(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_FAILED);
  EXPECT_EQ(Send("anyone?"), TALVEX_FAILED);
  EXPECT_TRUE(recorder_.events().empty());
}

TEST_F(Channel, TheCallbackMayStopTheChannelAndStartOverAfterwards) {
  StopFromCallback stopper{this};
  TalvexTestRequest request = Request();
  stopper.Arm(request);
  ASSERT_EQ(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_OK);
  ASSERT_EQ(Send("stop now"), TALVEX_OK);
  for (int i = 0; i < 500 && stopper.result == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(stopper.result, TALVEX_FAILED);

  request = Request();  // the name is free again once the old server is gone
  ASSERT_EQ(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_OK);
  ASSERT_EQ(Send("again"), TALVEX_OK);
  EXPECT_EQ(Texts(recorder_.WaitFor(1)), std::vector<std::string>{"again"});
}

TEST_F(Channel, AStopFromTheCallbackHoldsEvenBeforeTheStartHasReturned) {
  // Lines arrive from the moment the server listens, so the callback's stop
  // can come before the start has published its server.
  for (int round = 0; round < 30; ++round) {
    StopFromCallback stopper{this};
    std::atomic<bool> done{false};
    std::thread writer([&] {
      while (!done) {
        platform::MailslotWriter raw;
        if (!raw.Open("\\\\.\\mailslot\\VantrelOrlinda\\GSM\\smstest")) raw.Write("stop now", 9);
      }
    });
    TalvexTestRequest request = Request();
    stopper.Arm(request);
    EXPECT_EQ(Run(TALVEX_CMD_SENDTESTSMS, &request), TALVEX_OK);
    for (int i = 0; i < 500 && stopper.calls == 0; ++i) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(5ms);  // a server that missed the stop hears the writer meanwhile
    done = true;
    writer.join();
    EXPECT_EQ(SendUntil("still there?", TALVEX_FAILED, 1ms), TALVEX_FAILED);
    ASSERT_EQ(stopper.calls, 1) << "round " << round;
    Run(TALVEX_CMD_STOPTEST, nullptr);  // waits for the retired server, whose callback holds `stopper`
  }
}

TEST_F(Channel, AChannelStillRunningAtExitIsStoppedCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        TalvexTestRequest request = Request();
        if (Run(TALVEX_CMD_SENDTESTSMS, &request) != TALVEX_OK) std::_Exit(3);
        // On Windows the child is this program run again, whose fixture made
        // settings and a folder of its own that no destructor will remove; a
        // forked child removes the parent's, which is done with them.
        host_.RemoveSettings();
        std::filesystem::remove_all(temp_.path());
        std::exit(0);  // no command 1: the module's own teardown must stop it
      },
      ::testing::ExitedWithCode(0), "");
}

// ---- The server's own failure paths ------------------------------------------

class ReadThatCannotRestart : public MailSlotReader_Server {
 public:
  using MailSlotReader_Server::MailSlotReader_Server;
  int IssueReadIO() override { return ++calls_ == 1 ? MailSlotReader_Server::IssueReadIO() : 0; }

 private:
  std::atomic<int> calls_{0};
};

TEST_F(Channel, ServerReportsAReadThatCannotRestartAndRefusesASecondInitialize) {
  ReadThatCannotRestart server(0, kTestMailslotName, EventRecorder::Callback, recorder_.context());
  ASSERT_EQ(server.Initialize(&log_), TALVEX_OK);
  EXPECT_EQ(server.Initialize(&log_), TALVEX_ALREADY_INITIALISED);
  EXPECT_TRUE(log_.Has(Severity::Error, "MailSlotReader_Server::Initialize - Initialize, Aready Called."));
  ASSERT_EQ(Send("only one"), TALVEX_OK);
  auto events = recorder_.WaitFor(2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], Message("only one"));
  EXPECT_EQ(events[1], Status(TALVEX_TEST_READ_FAILED));
  server.Uninitialize();
  EXPECT_FALSE(server.IsInitialized());
}

TEST_F(Channel, ServerCannotTakeANameInUse) {
  platform::MailslotReader squatter;
  ASSERT_EQ(squatter.Create("\\\\.\\mailslot\\VantrelOrlinda\\GSM\\smstest").system_code(), 0);
  MailSlotReader_Server server(1000, kTestMailslotName, EventRecorder::Callback, recorder_.context());
  EXPECT_EQ(server.Initialize(&log_), TALVEX_FAILED);
  EXPECT_TRUE(log_.Has(Severity::Information, "MailSlotReader_Server::Initialize - Failed to create mail slot [erc: " +
                                                  std::to_string(kMailslotTakenError) + "]"));
  EXPECT_FALSE(server.IsInitialized());
  EXPECT_EQ(server.Initialize(nullptr), TALVEX_INVALID_PARAMETER);
}

}  // namespace
}  // namespace talvenix::testing
