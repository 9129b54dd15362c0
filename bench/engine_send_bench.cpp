// SPDX-License-Identifier: Apache-2.0
// SendSMS through the engine with a gateway that answers at once, against
// copying the same text into a std::u16string once. The log is open at
// level 1, as the module opens it, so information lines are filtered out.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/fake_document.hpp"
#include "engine/gsm_engine.hpp"
#include "support/logging_handler.hpp"

namespace talvenix {
namespace {

class InstantGateway : public GenericGSMService {
 public:
  using GenericGSMService::GenericGSMService;
  void FreeXMLLoadResources(void*) override {}
  int ConfigUpdate(IGSMConfigurationInterface*, void*, uint32_t) override { return 1; }
  int ConfigLoad(IGSMConfigurationInterface*, void*, uint32_t) override { return 1; }
  int LoadServiceSpecficConfigurations(TalvexGenericOptions*, IGSMConfigurationInterface*) override { return 1; }
  int32_t ServiceSendSMS(uint32_t, uint32_t, TalvexSmsRequest* r) override {
    benchmark::DoNotOptimize(r->part);
    return 0;
  }
  int ServiceInit(TalvexHostCallback, uintptr_t, IGSMConfigurationInterface*) override { return 1; }
  void ServiceUninit() override {}
  int UpdateConfigs(uint32_t*, TalvexGenericOptions*, uint32_t, uint32_t) override { return 0; }
  const char* GetServiceName() override { return "Instant"; }
};

class MapLoader : public IGSMConfigurationInterface {
 public:
  explicit MapLoader(ILogInterface* log) : log_(log) {}
  int ReloadConfiguration() override { return 1; }
  int ResolveSrvNameFromID(const char16_t*, char*, size_t) override { return 0; }
  int ResolveIDFromSrvName(const char*, char* id, size_t size) override {
    CopyBounded(id, size, "nuldrv");
    return 1;
  }
  int LoadGlobalConfigs(ConfigTable* t) override { return testing::ServeGlobalOptions(doc_, t); }
  int UpdateGlobalConfigs(ConfigTable*) override { return 0; }
  int LoadServiceConfigs(const char16_t*, ConfigTable*, int) override { return 0; }
  int UpdateServiceConfigs(const char16_t*, ConfigTable*) override { return 0; }
  int LoadServiceConfigsEx(const char16_t*, const char16_t*, std::vector<LinePropertyItem>*) override { return 0; }
  int UpdateServiceConfigsEx(const char16_t*, int, const char16_t*, std::vector<LinePropertyItem>*) override {
    return 0;
  }
  int CreateNewLine(const char16_t*, const LineTemplate*) override { return 0; }
  int DeleteLine(const char16_t*, int) override { return 0; }
  ILogInterface* GetLogger() override { return log_; }
  int findinitproperty(const char*) override { return 0; }
  int findnextproperty(char*, size_t, char16_t*, size_t, char*, size_t) override { return 0; }

 private:
  testing::FakeDocument doc_;
  ILogInterface* log_;
};

class BenchEngine : public GSMEngine {
 public:
  using GSMEngine::GSMEngine;
  std::unique_ptr<IGSMConfigurationInterface> CreateConfigLoader(const char*, const char*) override {
    return std::make_unique<MapLoader>(logger());
  }
  std::unique_ptr<GenericGSMService> FactoryConstructGSMService(uint32_t) override {
    return std::make_unique<InstantGateway>(logger());
  }
};

struct Setup {
  Setup() {
    path = std::filesystem::temp_directory_path() / ("talvenix-bench-" + std::to_string(getpid()) + ".log");
    log.Open(path.c_str(), "TALVEX", 1);
    TalvexGenericOptions* options = nullptr;
    engine.Initialize(
        0, [](int32_t, int32_t, uint32_t, uintptr_t, void*, uint32_t) { return 0; }, &options, "qvsmscomms.xml", "sms");
  }
  ~Setup() {
    engine.Uninitialize();
    log.Close();
    std::filesystem::remove(path);
  }
  std::filesystem::path path;
  CLoggingHandler log;
  BenchEngine engine{&log};
};

void BM_EngineSendSMS(benchmark::State& state) {
  static Setup setup;
  const size_t length = static_cast<size_t>(state.range(0));
  const int parts = static_cast<int>((length + 159) / 160);
  std::u16string text(length, u'x');
  std::vector<char16_t> buffer(length + 1);
  TalvexSmsRequest request{};
  request.text = buffer.data();
  request.text_capacity = static_cast<uint32_t>(buffer.size());
  request.recipient = "+15550100";
  for (auto _ : state) {
    std::memcpy(buffer.data(), text.data(), length * sizeof(char16_t));  // the host refills its buffer
    benchmark::DoNotOptimize(setup.engine.SendSMS(&request));
  }
  state.counters["ns_per_part"] = benchmark::Counter(static_cast<double>(state.iterations()) * parts,
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_EngineSendSMS)->Arg(459)->Arg(160);

// Baseline: one copy of the same text into a std::u16string.
void BM_CopyIntoU16String(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  std::vector<char16_t> buffer(length + 1, u'x');
  buffer[length] = 0;
  for (auto _ : state) {
    std::u16string copy(buffer.data(), length);
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(BM_CopyIntoU16String)->Arg(459)->Arg(160);

}  // namespace
}  // namespace talvenix

BENCHMARK_MAIN();
