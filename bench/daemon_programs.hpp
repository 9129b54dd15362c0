#pragma once
// The daemons a benchmark measures side by side in one run: this build's
// talvenixd, and another build's (an older commit's, say) when
// TALVENIX_BASELINE_DAEMON names its program. Each benchmark is registered
// once per daemon, as NAME/this and NAME/baseline.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

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

}  // namespace talvenix::bench
