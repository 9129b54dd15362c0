// SPDX-License-Identifier: Apache-2.0
// test-sms: starts the module's test-message channel (a test message file for
// the host's sender plus a listening mailslot) and prints what arrives.
// test-sms-report: writes a line into that channel from another process.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/commands.hpp"
#include "platform/mailslot.hpp"
#include "support/text_codec.hpp"

namespace talvenix::host {
namespace {

std::atomic<bool> g_stop{false};
std::atomic<int> g_lines{0};
std::mutex g_print;

void OnSignal(int) { g_stop = true; }

void TestEvents(uint32_t event, void* data, uintptr_t, uint32_t) {
  std::lock_guard lock(g_print);
  if (event == TALVEX_TEST_EVENT_MESSAGE) {
    std::printf("report: %s\n", data ? static_cast<const char*>(data) : "");
    ++g_lines;
  } else {
    int32_t code = data ? *static_cast<const int32_t*>(data) : -1;
    if (code == TALVEX_TEST_TIMEOUT)
      std::printf("time limit reached with no new report (code 30)\n");
    else if (code == TALVEX_TEST_READ_FAILED)
      std::printf("the channel cannot read any further (code 22); see Talvenix.log\n");
    else
      std::printf("event %u: code %d\n", event, code);
    g_stop = true;
  }
  std::fflush(stdout);
}

template <size_t N>
void CopyText16(char16_t (&field)[N], const std::string& utf8) {
  CopyBounded(field, N, Utf8ToUtf16(utf8));
}

}  // namespace

int RunTestSms(Module& module, const Args& arguments) {
  Arguments a(arguments);
  a.Require("--to", "NUMBER, e.g. talvenix test-sms --to +15550100 \"Test\"");
  std::string to = a.Text("--to");
  std::string subject = a.Text("--subject", "Talvenix test message");
  uint64_t line_number = a.Number("--line", 1, 0, UINT32_MAX);
  Args words = a.Words(1, 1, "the message text as one argument, e.g. talvenix test-sms --to +15550100 \"Test\"");
  if (!a.ok()) return a.UsageError("test-sms");

  auto request = std::make_unique<TalvexTestRequest>();
  CopyBounded(request->recipient, sizeof request->recipient, to);
  CopyText16(request->body, words[0]);
  CopyText16(request->subject, subject);
  request->line = static_cast<uint32_t>(line_number);
  request->callback = TestEvents;

  // The settings screens' state: the log is open, no engine runs.
  module.InitXMLConfigurations("qvsmscomms.xml", "sms");
  g_stop = false;
  g_lines = 0;
  int32_t code = module.ExecuteCommand(TALVEX_CMD_SENDTESTSMS, request.get(), 0);
  if (code != TALVEX_OK) {
    // The channel lives in a private folder that the module checks the same way.
    std::string private_folder;
    if (platform::Error error = platform::PrivateRuntimeFolder(private_folder))
      std::fprintf(stderr,
                   "the test channel did not start: %s. Its private folder %s cannot be used (%s): it must be a\n"
                   "folder of yours with mode 0700. If another user made it, remove it or set XDG_RUNTIME_DIR.\n",
                   Describe(code).c_str(), private_folder.c_str(), error.Describe());
    else
      std::fprintf(stderr,
                   "the test channel did not start: %s. Check that the outgoing folder exists and is writable\n"
                   "(outdir in talvenix-host.ini, plus sms/) and that no other test is listening; see Talvenix.log.\n",
                   Describe(code).c_str());
    module.Unint();
    return 1;
  }
  std::printf("test message file written; listening for reports until the time limit (Ctrl-C stops)\n");
  std::fflush(stdout);

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);

  module.ExecuteCommand(TALVEX_CMD_STOPTEST, nullptr, 0);
  module.Unint();
  return g_lines > 0 ? 0 : 1;
}

int RunTestSmsReport(Module& module, const Args& arguments) {
  Arguments a(arguments);
  Args words = a.Words(1, 1, "the line as one argument, e.g. talvenix test-sms-report \"delivered\"");
  if (!a.ok()) return a.UsageError("test-sms-report");
  int32_t code = module.ExecuteCommand(TALVEX_CMD_SENDTESTSENDDATA, const_cast<char*>(words[0].c_str()), 0);
  if (code != TALVEX_OK) {
    std::fprintf(stderr, "the line was not delivered: %s. Is `talvenix test-sms` running as the same user?\n",
                 Describe(code).c_str());
    return 1;
  }
  std::printf("report sent\n");
  return 0;
}

}  // namespace talvenix::host
