// SPDX-License-Identifier: Apache-2.0
// The test-message channel's latency: from the start of a command-2 write
// (ExecuteCommand through the exported function) to the moment the host's test
// callback runs, over 10,000 lines one at a time. The baseline, measured in the
// same run: a bare datagram round trip between two threads over the same kind
// of socket (AF_UNIX, SOCK_DGRAM). Counters are in microseconds; ratio_* put
// the channel's figures over the baseline's median.

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "hostkit/module.hpp"
#include "platform/sync.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kLines = 10000;

struct Figures {
  double median_us;
  double p99_us;
};

Figures Summarise(std::vector<double>& samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

Figures BareRoundTrip() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_DGRAM, 0, fds) != 0) std::abort();
  std::thread echo([&] {
    char buffer[1000];
    for (int i = 0; i < kLines; ++i) {
      ssize_t n = recv(fds[1], buffer, sizeof buffer, 0);
      if (n < 0 || send(fds[1], buffer, static_cast<size_t>(n), 0) != n) std::abort();
    }
  });
  std::vector<double> samples;
  samples.reserve(kLines);
  char line[] = "delivered to handset";
  char reply[1000];
  for (int i = 0; i < kLines; ++i) {
    auto start = Clock::now();
    if (send(fds[0], line, sizeof line, 0) < 0 || recv(fds[0], reply, sizeof reply, 0) < 0) std::abort();
    samples.push_back(Micros(Clock::now() - start));
  }
  echo.join();
  close(fds[0]);
  close(fds[1]);
  return Summarise(samples);
}

struct Arrival {
  Clock::time_point at;
  talvenix::platform::AutoResetEvent event;
};

void OnLine(uint32_t event, void*, uintptr_t context, uint32_t) {
  if (event != TALVEX_TEST_EVENT_MESSAGE) return;
  auto* arrival = reinterpret_cast<Arrival*>(context);
  arrival->at = Clock::now();
  arrival->event.Set();
}

// A private runtime folder and outgoing folder for the channel.
class Setting {
 public:
  Setting() {
    root_ = std::filesystem::temp_directory_path() / ("talvenix-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(root_ / "run");
    std::filesystem::create_directories(root_ / "out" / "sms");
    std::ofstream(root_ / "host.ini") << "[SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\E2FG]\noutdir = "
                                      << (root_ / "out").string() << "\n";
    setenv("XDG_RUNTIME_DIR", (root_ / "run").c_str(), 1);
    setenv("TALVENIX_HOST_SETTINGS", (root_ / "host.ini").c_str(), 1);
    setenv("TALVENIX_TEST_TIMEOUT_MS", "600000", 1);
  }
  ~Setting() { std::filesystem::remove_all(root_); }

 private:
  std::filesystem::path root_;
};

void BM_BareDatagramRoundTrip(benchmark::State& state) {
  Figures bare{};
  for (auto _ : state) bare = BareRoundTrip();
  state.counters["median_us"] = bare.median_us;
  state.counters["p99_us"] = bare.p99_us;
}

void BM_Command2ToCallback(benchmark::State& state) {
  Setting setting;
  talvenix::host::Module& m = talvenix::host::Module::Get();
  Arrival arrival;
  TalvexTestRequest request{};
  std::snprintf(request.recipient, sizeof request.recipient, "+15550100");
  request.body[0] = u'x';
  request.callback = OnLine;
  request.context = reinterpret_cast<uintptr_t>(&arrival);
  if (m.ExecuteCommand(TALVEX_CMD_SENDTESTSMS, &request, 0) != TALVEX_OK) {
    state.SkipWithError("the test channel did not start");
    return;
  }
  char line[] = "delivered to handset";
  Figures channel{}, bare{};
  for (auto _ : state) {
    std::vector<double> samples;
    samples.reserve(kLines);
    for (int i = 0; i < kLines; ++i) {
      auto start = Clock::now();
      if (m.ExecuteCommand(TALVEX_CMD_SENDTESTSENDDATA, line, 0) != TALVEX_OK || !arrival.event.Wait(5000)) {
        state.SkipWithError("a line was not delivered");
        break;
      }
      samples.push_back(Micros(arrival.at - start));
    }
    channel = Summarise(samples);
    bare = BareRoundTrip();
  }
  m.ExecuteCommand(TALVEX_CMD_STOPTEST, nullptr, 0);
  state.counters["median_us"] = channel.median_us;
  state.counters["p99_us"] = channel.p99_us;
  state.counters["bare_median_us"] = bare.median_us;
  state.counters["ratio_median"] = channel.median_us / bare.median_us;
  state.counters["ratio_p99"] = channel.p99_us / bare.median_us;
}

BENCHMARK(BM_BareDatagramRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Command2ToCallback)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
