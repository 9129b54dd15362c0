// SPDX-License-Identifier: Apache-2.0
// The loader's reads against a bare pugixml parse of the same file from disk,
// in the same run. Every loader operation looks at the file again, so each
// timed call includes that check. Files: the bundled default, and the same
// with 64 and with 1,000 modem lines (the loader must grow linearly).

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <pugixml.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/xml_loader.hpp"

namespace talvenix {
namespace {

class QuietLogger : public ILogInterface {
 public:
  uintptr_t GetHandle() override { return 0; }
  uintptr_t Attach(uintptr_t handle) override { return handle; }
  void Open(const char*, const char*, int) override {}
  void Close() override {}
  bool Records(Severity s) override { return s == Severity::Error; }  // level 1, as the module opens the log
  void Write(Severity, const char*, va_list) override {}
  void WriteW(Severity, const char16_t*, va_list) override {}
};

std::string Folder() {
  static const std::string folder = [] {
    std::string path = (std::filesystem::temp_directory_path() / "talvenix-bench-XXXXXX").string();
    if (!mkdtemp(path.data())) std::abort();
    return path;
  }();
  return folder;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The default file, or the default with its example line repeated `lines` times.
const std::string& File(int lines) {
  static std::map<int, std::string> files;
  auto& path = files[lines];
  if (!path.empty()) return path;
  std::string text = ReadText(std::string(TALVENIX_SOURCE_DIR) + "/examples/qvsmscomms.xml");
  if (lines > 0) {
    size_t start = text.find("          <line>");
    size_t end = text.find("</line>", start) + std::string("</line>\n").size();
    std::string line = text.substr(start, end - start), all;
    for (int i = 1; i <= lines; ++i) {
      std::string copy = line;
      size_t at = copy.find("value=\"1\"");
      copy.replace(at, 9, "value=\"" + std::to_string(i) + "\"");
      all += copy;
    }
    text.replace(start, end - start, all);
  }
  path = Folder() + "/qvsmscomms-" + std::to_string(lines) + ".xml";
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

void BM_BarePugixmlParse(benchmark::State& state) {
  const std::string& path = File(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    pugi::xml_document document;
    benchmark::DoNotOptimize(document.load_file(path.c_str()));
  }
}
BENCHMARK(BM_BarePugixmlParse)->Arg(0)->Arg(64)->Arg(1000);

// What the Clickatell gateway's ConfigLoad asks for: four properties and the
// service's sign-up address.
void BM_LoadServiceConfigsClickatell(benchmark::State& state) {
  QuietLogger log;
  XMLLoader loader(&log, File(static_cast<int>(state.range(0))).c_str(), "sms");
  char signup[1000];
  char16_t user[1000], password[1000], from[1000], apiid[1000];
  ConfigTable table;
  table.emplace_back(kConfigLoad, u"[apiid]", kValueWide, apiid, 999);
  table.emplace_back(kConfigLoad, u"[from]", kValueWide, from, 999);
  table.emplace_back(kConfigLoad, u"[password]", kValueWide, password, 999);
  table.emplace_back(kConfigLoad, u"[user]", kValueWide, user, 999);
  table.emplace_back(kConfigLoad, u"signupurl", kValueNarrow, signup, 999, nullptr, 0, kSourceServiceAttribute);
  for (auto _ : state)
    if (loader.LoadServiceConfigs(u"clickatellapi", &table, 0) != 1) state.SkipWithError("load failed");
}
BENCHMARK(BM_LoadServiceConfigsClickatell)->Arg(0)->Arg(64)->Arg(1000);

// What the engine reads at start: the global options.
void BM_LoadGlobalConfigs(benchmark::State& state) {
  QuietLogger log;
  XMLLoader loader(&log, File(static_cast<int>(state.range(0))).c_str(), "sms");
  int32_t enable = 0, split = 0, chars = 0;
  char selected[500], position[100];
  ConfigTable table;
  table.emplace_back(kConfigLoad, u"enableengine", kValueBoolean, &enable, 4);
  table.emplace_back(kConfigLoad, u"selectedservice", kValueNarrow, selected, 499);
  table.emplace_back(kConfigLoad, u"maxsmssplit", kValueInteger, &split, 4);
  table.emplace_back(kConfigLoad, u"maxsmschars", kValueInteger, &chars, 4);
  table.emplace_back(kConfigLoad, u"position", kValueNarrow, position, 99, nullptr, 0, kSourceOptionAttribute,
                     u"append");
  for (auto _ : state)
    if (loader.LoadGlobalConfigs(&table) != 1) state.SkipWithError("load failed");
}
BENCHMARK(BM_LoadGlobalConfigs)->Arg(0)->Arg(64)->Arg(1000);

// Listing every line property into the caller's list, sized by an earlier
// count; the list belongs to the caller and is made once.
void BM_LoadServiceConfigsEx(benchmark::State& state) {
  QuietLogger log;
  XMLLoader loader(&log, File(static_cast<int>(state.range(0))).c_str(), "sms");
  int count = loader.LoadServiceConfigsEx(u"simple_gsm", u"[comport]", nullptr);
  std::vector<LinePropertyItem> rows(static_cast<size_t>(count > 0 ? count : 0));
  for (auto _ : state)
    if (loader.LoadServiceConfigsEx(u"simple_gsm", u"[comport]", &rows) <= 0) state.SkipWithError("load failed");
  state.counters["rows"] = count;
}
BENCHMARK(BM_LoadServiceConfigsEx)->Arg(0)->Arg(64)->Arg(1000);

// Another program rewriting the file before every call through a new file
// and a rename (one byte differs each time, outside the timing): the parse
// path, which must grow linearly with the file.
template <typename Call>
void EveryCallOnAChangedFile(benchmark::State& state, const std::string& path, Call&& call) {
  std::string text = ReadText(path);
  size_t flip = text.find("value=\"115200\"") + 7;
  for (auto _ : state) {
    state.PauseTiming();
    text[flip] = text[flip] == '1' ? '2' : '1';
    std::ofstream(path + ".new", std::ios::binary) << text;
    std::filesystem::rename(path + ".new", path);  // as a save replaces the file
    state.ResumeTiming();
    if (!call()) state.SkipWithError("load failed");
  }
  text[flip] = '1';
  std::ofstream(path + ".new", std::ios::binary) << text;
  std::filesystem::rename(path + ".new", path);
}

void BM_LoadServiceConfigsExChangedFile(benchmark::State& state) {
  QuietLogger log;
  const std::string& path = File(static_cast<int>(state.range(0)));
  XMLLoader loader(&log, path.c_str(), "sms");
  int count = loader.LoadServiceConfigsEx(u"simple_gsm", u"[comport]", nullptr);
  std::vector<LinePropertyItem> rows(static_cast<size_t>(count > 0 ? count : 0));
  EveryCallOnAChangedFile(state, path,
                          [&] { return loader.LoadServiceConfigsEx(u"simple_gsm", u"[comport]", &rows) > 0; });
}
BENCHMARK(BM_LoadServiceConfigsExChangedFile)->Arg(0)->Arg(64)->Arg(1000);

// One option read from a changed file: the load alone, without the listing.
void BM_LoadGlobalConfigsChangedFile(benchmark::State& state) {
  QuietLogger log;
  const std::string& path = File(static_cast<int>(state.range(0)));
  XMLLoader loader(&log, path.c_str(), "sms");
  int32_t enable = 0;
  ConfigTable table;
  table.emplace_back(kConfigLoad, u"enableengine", kValueBoolean, &enable, 4);
  EveryCallOnAChangedFile(state, path, [&] { return loader.LoadGlobalConfigs(&table) == 1; });
}
BENCHMARK(BM_LoadGlobalConfigsChangedFile)->Arg(0)->Arg(64)->Arg(1000);

// Ratios use CPU time: on a shared machine it is steadier than wall time.
// With --benchmark_repetitions the median of the repetitions is used, not
// whichever repetition happened to come last.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !median.count(run.run_name.str()))
        cpu[run.run_name.str()] = run.GetAdjustedCPUTime();
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        median.insert(run.run_name.str());
        cpu[run.run_name.str()] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> cpu;
  std::set<std::string> median;
};

}  // namespace
}  // namespace talvenix

int main(int argc, char** argv) {
  // Both sides keep the memory they free: otherwise glibc hands a freed
  // document back to the kernel and each bare parse faults it in again,
  // which measures the kernel, not the parse.
  mallopt(M_TRIM_THRESHOLD, 1000000000);
  mallopt(M_MMAP_THRESHOLD, 100000000);
  benchmark::Initialize(&argc, argv);
  talvenix::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& t = reporter.cpu;
  auto ratio = [&](const char* what, const std::string& operation, const std::string& bare, double target) {
    if (t[operation] <= 0 || t[bare] <= 0) return;
    std::printf("%-50s %.2f x the bare parse", what, t[operation] / t[bare]);
    if (target > 0) std::printf(" (target: at most %.1f)", target);
    std::printf("\n");
  };
  for (const char* lines : {"0", "64", "1000"}) {
    std::string bare = std::string("BM_BarePugixmlParse/") + lines;
    double target = std::string(lines) == "1000" ? 1.2 : 1.0;
    std::string file = std::string(lines) == "0" ? "default file" : std::string(lines) + " modem lines";
    ratio(("LoadServiceConfigs, Clickatell, " + file).c_str(), std::string("BM_LoadServiceConfigsClickatell/") + lines,
          bare, target);
    ratio(("LoadGlobalConfigs, " + file).c_str(), std::string("BM_LoadGlobalConfigs/") + lines, bare, target);
    ratio(("LoadServiceConfigsEx, " + file).c_str(), std::string("BM_LoadServiceConfigsEx/") + lines, bare, target);
  }
  // A changed file is read and parsed again, with the checks that come with
  // a load; the listing then makes a row of every line property.
  for (const char* lines : {"0", "64", "1000"}) {
    std::string bare = std::string("BM_BarePugixmlParse/") + lines;
    ratio((std::string("LoadGlobalConfigs, changed file, ") + lines + " lines").c_str(),
          std::string("BM_LoadGlobalConfigsChangedFile/") + lines, bare, 0);
    ratio((std::string("LoadServiceConfigsEx, changed file, ") + lines + " lines").c_str(),
          std::string("BM_LoadServiceConfigsExChangedFile/") + lines, bare, 1.5);
  }
  std::filesystem::remove_all(talvenix::Folder());
  benchmark::Shutdown();
  return 0;
}
