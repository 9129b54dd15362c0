// SPDX-License-Identifier: Apache-2.0
#include "host/commands.hpp"
#include "support/text_codec.hpp"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

namespace talvenix::host {

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"send", "[--to NUMBER] [--from NAME] [--wait SECONDS] TEXT",
       "send one SMS through the configured gateway and print the result",
       "  --to NUMBER      the recipient (default +15550100)\n"
       "  --from NAME      the sender the host names\n"
       "  --wait SECONDS   how long to wait for the outcome of a pending send (default 30)\n"
       "exit status: 0 sent, 1 not sent, 2 usage error",
       RunSend},
      {"listen", "[--seconds N]", "print incoming messages and events until Ctrl-C or N seconds (default 10)",
       "  --seconds N   stop after N seconds (default 10); Ctrl-C stops at once", RunListen},
      {"test-sms", "--to NUMBER [--subject S] [--line N] TEXT",
       "drop a test message for the host's sender and print the reports that come back",
       "  --to NUMBER    the recipient (required)\n"
       "  --subject S    the job's subject\n"
       "  --line N       the GSM line to send on (default 0: any)",
       RunTestSms},
      {"test-sms-report", "TEXT", "write a report line into a listening test-sms (from another process)", "",
       RunTestSmsReport},
      {"lines", "list | add --port N [...] | set --port N FIELD VALUE | delete --port N",
       "show and change the GSM modem lines in qvsmscomms.xml (talvenix lines --help)",
       "  list                      every line and its main settings\n"
       "  add --port N [OPTIONS]    a line on COMn (N from 1), enabled, 9600 baud, 3 retries; OPTIONS:\n"
       "      --baud B --name NAME --initstr AT... --smsc NUMBER --cnmi PARAMETERS --retry N\n"
       "      --disabled --no-receive --no-send --no-international --clean-sim --status-reports\n"
       "      --non-blocking\n"
       "  set --port N FIELD VALUE  one setting of the line on COMn; FIELD is one of comport baudrate\n"
       "      linename initstr smsc recenabled sendenabled cleansimenabled srenabled lineenabled\n"
       "      smsretry inumberenabled readiomode cnmiparameters (yes/no for the flags)\n"
       "  delete --port N           remove the line on COMn",
       RunLines},
      {"config", "show | set NAME VALUE | check | cipher VALUE",
       "read or change the global options; check qvsmscomms.xml",
       "  show             every global option and its value\n"
       "  set NAME VALUE   change one global option\n"
       "  check            read qvsmscomms.xml and report every problem with its line\n"
       "  cipher VALUE     print VALUE enciphered, as a SIM PIN is stored in the host settings",
       RunConfig},
      {"service", "show | set PROPERTY VALUE",
       "read or change the selected gateway's properties (passwords are shown as ****)",
       "  show                 the selected gateway's properties\n"
       "  set PROPERTY VALUE   change one of them (the names show lists)",
       RunService},
      {"codes", "", "list the status codes and their meaning", "", RunCodes},
  };
  return commands;
}

namespace {

std::mutex g_output;
std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_has_outcome{false};
std::atomic<int32_t> g_outcome{0};

void OnInterrupt(int) { g_interrupted = true; }

std::string Narrow(const TalvexText& t) { return t.text ? t.text : ""; }

std::string Utf8(const TalvexText16& t) { return t.text ? Utf16ToUtf8(t.text) : std::string(); }

}  // namespace

int32_t PrintingCallback(int32_t code, int32_t extra, uint32_t event_kind, uintptr_t, void* data, uint32_t data_kind) {
  std::lock_guard lock(g_output);
  if (event_kind == TALVEX_EVENT_RECEIVED && data) {
    auto* m = static_cast<TalvexReceivedMessage*>(data);
    if (data_kind == TALVEX_DATA_STATUS_REPORT)
      std::printf("status report: reference %u, status %u, %s %s: %s\n", m->report_reference, m->report_status,
                  Narrow(m->originator).c_str(), Narrow(m->report_text).c_str(), Utf8(m->text).c_str());
    else
      std::printf("received from %s (service %u, line %u): %s\n", Narrow(m->originator).c_str(), m->service_flag,
                  m->line, Utf8(m->text).c_str());
  } else if (event_kind == TALVEX_EVENT_OUTCOME) {
    std::printf("outcome: %s\n", Describe(code).c_str());
    g_outcome = code;
    g_has_outcome = true;
  } else if (event_kind == TALVEX_EVENT_LINE_STATE) {
    // The GSM gateway's line record, or null for a line it does not know.
    auto* line = static_cast<const TalvexLineRecord*>(data);
    std::string name = "not configured";
    if (line) name = Utf16ToUtf8({line->line_name, Utf16Length(line->line_name, TALVEX_LINE_TEXT_CHARS)});
    std::printf("line COM%d (%s): %s, code %d\n", extra, name.c_str(), code == 0 ? "ready" : "failed", code);
  } else {
    std::printf("event %u: code %d, extra %d\n", event_kind, code, extra);
  }
  std::fflush(stdout);
  return 0;
}

bool ConfigurationPresent(const char* command) {
  if (std::error_code ec; std::filesystem::exists("qvsmscomms.xml", ec)) return true;
  std::fprintf(stderr,
               "%s: there is no qvsmscomms.xml in this folder; give its folder with --dir, or start from "
               "examples/qvsmscomms.xml\n",
               command);
  return false;
}

namespace {

// Sleeps until Ctrl-C, `seconds` or `done()`; returns true on Ctrl-C.
template <typename Done>
bool WaitUntil(double seconds, Done done) {
  g_interrupted = false;
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!g_interrupted && !done() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  return g_interrupted;
}

}  // namespace

bool WaitForInterrupt(double seconds) {
  return WaitUntil(seconds, [] { return false; });
}

std::optional<int32_t> WaitForOutcome(double seconds) {
  WaitUntil(seconds, [] { return g_has_outcome.load(); });
  if (!g_has_outcome) return std::nullopt;
  return g_outcome.load();
}

int RunCodes(Module&, const Args& arguments) {
  Arguments a(arguments);
  a.Words(0, 0, "");
  if (!a.ok()) return a.UsageError("codes");
  for (const StatusCode& c : StatusCodes()) std::printf("%4d  %-20s %s\n", c.code, c.name, c.meaning);
  return 0;
}

}  // namespace talvenix::host
