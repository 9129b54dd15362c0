// SPDX-License-Identifier: Apache-2.0
// Messages per second through SendSMS, the AT driver and the modem simulator:
// against smstools' smsd sending the same messages through the same simulator
// (answering at once), and with a modem that takes 2 s per submit on 1, 2 and
// 4 lines against the modems' own limit of lines / 2 s. The ratios are
// printed after the runs.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "common/temp_folder.hpp"
#include "drivers/at/modem_sim.hpp"
#include "gateways/modem/gsm_document.hpp"
#include "gateways/modem/host_events.hpp"
#include "hostkit/module.hpp"
#include "talvenix/gsm_driver.h"

using namespace talvenix;
using namespace talvenix::testing;
namespace fs = std::filesystem;

namespace {

constexpr int kMessages = 40;
std::map<std::string, double> rates;  // messages per second, by run

// Sends `count` messages through the module to `lines` simulated modems and
// returns the seconds until every outcome arrived.
double SendThroughModule(int lines, int count, uint32_t submit_delay_ms) {
  TempFolder folder("at-bench");
  WorkingFolder cwd(folder.path());
  std::string driver = fs::path(TALVENIX_MODULE_PATH).parent_path() / TALVEX_GSM_DRIVER_FILE;
  setenv(TALVEX_GSM_DRIVER_ENV, driver.c_str(), 1);
  setenv("TALVENIX_HOST_SETTINGS", (folder.path() / "talvenix-host.ini").c_str(), 1);
  std::vector<std::unique_ptr<ModemSim>> modems;
  std::vector<DocumentLine> doc;
  std::string ini = "[serialports]\n";
  for (int i = 0; i < lines; ++i) {
    std::string device = (folder.path() / ("modem" + std::to_string(i + 3))).string();
    modems.push_back(std::make_unique<ModemSim>(device));
    modems.back()->SetSubmitDelay(submit_delay_ms);
    doc.push_back({i + 3, 115200, "Line"});
    ini += "COM" + std::to_string(i + 3) + "=" + device + "\n";
  }
  folder.Write("talvenix-host.ini", ini);
  folder.Write("qvsmscomms.xml", GsmDocument(doc));
  host::Module& m = host::Module::Get();
  HostEvents events;
  TalvexGenericOptions* options = nullptr;
  if (m.InitTalvex(events.context(), &HostEvents::Callback, &options) != 0) return -1;
  auto ready = [&] { return options && options->lines_ready == static_cast<uint32_t>(lines); };
  for (int i = 0; i < 500 && !ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::vector<std::u16string> buffers(count);
  std::vector<TalvexSmsRequest> requests(count);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    buffers[i] = u"Benchmark message number " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26));
    buffers[i].resize(200, u'\0');
    requests[i].text = buffers[i].data();
    requests[i].text_capacity = 200;
    requests[i].recipient = "+46708251358";
    m.SendSMS(&requests[i]);
  }
  while (events.OfKind(TALVEX_EVENT_OUTCOME).size() < static_cast<size_t>(count))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.Unint();
  return seconds;
}

// The same messages through smsd (started first, so its start-up is not counted).
double SendThroughSmsd(int count) {
  TempFolder folder("smsd-bench");
  const fs::path& dir = folder.path();
  for (const char* sub : {"outgoing", "checked", "failed", "incoming", "sent", "staging"})
    fs::create_directories(dir / sub);
  ModemSim modem((dir / "modem").string());
  folder.Write("smsd.conf", "devices = GSM1\nlogfile = " + (dir / "smsd.log").string() + "\nloglevel = 3\noutgoing = " +
                                (dir / "outgoing").string() + "\nchecked = " + (dir / "checked").string() +
                                "\nfailed = " + (dir / "failed").string() +
                                "\nincoming = " + (dir / "incoming").string() + "\nsent = " + (dir / "sent").string() +
                                "\npidfile = " + (dir / "smsd.pid").string() +
                                "\ndelaytime = 1\ndelaytime_mainprocess = 1\n\n[GSM1]\ndevice = " + modem.link() +
                                "\nincoming = no\nbaudrate = 115200\n");
  pid_t child = fork();
  if (child == 0) {
    execl("/usr/sbin/smsd", "smsd", "-t", "-c", (dir / "smsd.conf").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  modem.WaitCommand("AT+CPMS", 20000);  // smsd has initialised the modem
  std::this_thread::sleep_for(std::chrono::seconds(2));
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    std::string name = "m" + std::to_string(i);
    folder.Write("staging/" + name, "To: 46708251358\n\nBenchmark message number " +
                                        std::string(1, static_cast<char>('A' + i % 26)) + "\n");
    fs::rename(dir / "staging" / name, dir / "outgoing" / name);
  }
  bool done = modem.WaitSubmitted(count, 600000);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  kill(child, SIGTERM);
  int status;
  waitpid(child, &status, 0);
  return done ? seconds : -1;
}

void BM_SendSmsImmediateModem(benchmark::State& state) {
  for (auto _ : state) {
    double s = SendThroughModule(1, kMessages, 0);
    state.SetIterationTime(s);
    rates["module"] = kMessages / s;
  }
  state.counters["msgs_per_s"] = rates["module"];
}
BENCHMARK(BM_SendSmsImmediateModem)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_SmsdImmediateModem(benchmark::State& state) {
  for (auto _ : state) {
    double s = SendThroughSmsd(kMessages);
    state.SetIterationTime(s > 0 ? s : 1);
    rates["smsd"] = s > 0 ? kMessages / s : 0;
  }
  state.counters["msgs_per_s"] = rates["smsd"];
}
BENCHMARK(BM_SmsdImmediateModem)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_SendSmsSlowModem(benchmark::State& state) {
  int lines = static_cast<int>(state.range(0));
  int count = 2 * lines;  // two submits per line
  for (auto _ : state) {
    double s = SendThroughModule(lines, count, 2000);
    state.SetIterationTime(s);
    rates["slow" + std::to_string(lines)] = count / s;
  }
  state.counters["msgs_per_s"] = rates["slow" + std::to_string(lines)];
  state.counters["limit_per_s"] = lines / 2.0;
}
BENCHMARK(BM_SendSmsSlowModem)->Arg(1)->Arg(2)->Arg(4)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (rates.count("module") && rates["smsd"] > 0)
    std::printf("SendSMS / smsd, immediate modem: %.1f x (%.1f vs %.2f messages/s)\n", rates["module"] / rates["smsd"],
                rates["module"], rates["smsd"]);
  for (int lines : {1, 2, 4})
    if (rates.count("slow" + std::to_string(lines)))
      std::printf("%d line(s), 2 s per submit: %.1f%% of the modems' limit (%.3f vs %.3f messages/s)\n", lines,
                  100.0 * rates["slow" + std::to_string(lines)] / (lines / 2.0), rates["slow" + std::to_string(lines)],
                  lines / 2.0);
  return 0;
}
