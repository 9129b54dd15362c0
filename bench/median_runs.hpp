// SPDX-License-Identifier: Apache-2.0
#pragma once
// The shared main of the benchmarks that compare two ways of doing one thing:
// runs every registered benchmark (`default_repetitions` times unless the
// command line says how often) and keeps each one's median run, from which the
// program prints its ratio.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace talvenix::bench {

struct MedianRun {
  double real_time = 0;         // in the benchmark's own unit
  double items_per_second = 0;  // 0 when the benchmark counts no items
};

class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      bool usable = run.run_type == Run::RT_Iteration || run.aggregate_name == "median";
      if (run.error_occurred || !usable) continue;
      MedianRun& kept = medians[run.run_name.function_name];
      kept.real_time = run.GetAdjustedRealTime();
      auto items = run.counters.find("items_per_second");
      kept.items_per_second = items != run.counters.end() ? items->second.value : 0;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, MedianRun> medians;
};

// Keyed by benchmark function name ("BM_..."); a benchmark that failed is absent.
inline std::map<std::string, MedianRun> RunBenchmarks(int argc, char** argv, int default_repetitions) {
  std::vector<char*> args(argv, argv + argc);
  bool repetitions_given = false;
  for (char* arg : args) repetitions_given |= std::string(arg).starts_with("--benchmark_repetitions");
  std::string repetitions = "--benchmark_repetitions=" + std::to_string(default_repetitions);
  std::string aggregates = "--benchmark_report_aggregates_only=true";
  if (!repetitions_given) {
    args.push_back(repetitions.data());
    args.push_back(aggregates.data());
  }
  args.push_back(nullptr);
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return reporter.medians;
}

// The time of `first` over the time of `second`, as the median of `pairs`
// ratios, each from one run of the two taken in turn: both meet the same
// moments of a busy machine, so only a real change moves the figure.
inline double RunPaired(int argc, char** argv, const std::string& first, const std::string& second, int pairs) {
  benchmark::Initialize(&argc, argv);
  MedianReporter reporter;
  auto time_of = [&](const std::string& name) {
    reporter.medians.erase(name);
    benchmark::RunSpecifiedBenchmarks(&reporter, "^" + name + "(/|$)");
    auto run = reporter.medians.find(name);
    return run == reporter.medians.end() ? 0.0 : run->second.real_time;
  };
  std::vector<double> ratios;
  for (int i = 0; i < pairs; ++i) {
    double a = time_of(first), b = time_of(second);
    if (a > 0 && b > 0) ratios.push_back(a / b);
  }
  benchmark::Shutdown();
  if (ratios.empty()) return 0;
  std::nth_element(ratios.begin(), ratios.begin() + static_cast<ptrdiff_t>(ratios.size() / 2), ratios.end());
  return ratios[ratios.size() / 2];
}

}  // namespace talvenix::bench
