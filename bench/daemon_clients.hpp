// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the daemon's benchmarks share: the daemons measured side by side in
// one run (this build's talvenixd, and another build's, an older commit's
// say, when TALVENIX_BASELINE_DAEMON names its program; each benchmark is
// registered once per daemon, as NAME/this and NAME/baseline), and the 16
// clients that POST to one.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/daemon_fixture.hpp"

namespace talvenix::bench {

using DaemonBenchmark = std::function<void(benchmark::State&, const std::string& program)>;

// Registers `run` per daemon; `shape` sets the arguments and repetitions.
inline void RegisterPerDaemon(const std::string& name, const DaemonBenchmark& run,
                              const std::function<void(benchmark::internal::Benchmark*)>& shape) {
  std::vector<std::pair<std::string, std::string>> programs{{"this", TALVENIX_DAEMON_PATH}};
  if (const char* baseline = std::getenv("TALVENIX_BASELINE_DAEMON"); baseline && *baseline)
    programs.emplace_back("baseline", baseline);
  for (const auto& [label, program] : programs)
    shape(benchmark::RegisterBenchmark((name + "/" + label).c_str(),
                                       [run, program = program](benchmark::State& state) { run(state, program); }));
}

constexpr int kClients = 16;

// kClients threads, each on its own kept connection to one of `daemons` in
// turn, POST while `more()` says so; the latency of every 202 in
// milliseconds, sorted. A request that fails or waits more than 5 s counts
// in `failed`.
inline std::vector<double> PostMessages(const std::vector<const testing::DaemonProcess*>& daemons,
                                        const std::function<bool()>& more, std::atomic<int>& failed) {
  std::vector<std::vector<double>> latencies(kClients);
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c)
    threads.emplace_back([&, c] {
      httplib::Client client = daemons[c % daemons.size()]->Client();
      client.set_keep_alive(true);
      client.set_tcp_nodelay(true);
      client.set_read_timeout(5);
      while (more()) {
        auto start = std::chrono::steady_clock::now();
        auto res = client.Post("/v1/messages", R"({"to":"+15550100","text":"bench message"})", "application/json");
        if (!res || res->status != 202) {
          ++failed;
          continue;
        }
        latencies[c].push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
      }
    });
  for (auto& t : threads) t.join();
  std::vector<double> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  return all;
}

inline std::vector<double> PostMessages(const testing::DaemonProcess& daemon, const std::function<bool()>& more,
                                        std::atomic<int>& failed) {
  return PostMessages(std::vector<const testing::DaemonProcess*>{&daemon}, more, failed);
}

inline double Percentile(const std::vector<double>& sorted, double p) {
  return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * sorted.size()))];
}

}  // namespace talvenix::bench
