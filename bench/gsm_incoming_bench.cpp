// SPDX-License-Identifier: Apache-2.0
// Incoming messages from a simulator line thread to the host callback, through
// the whole module (driver callback, gateway lock, received message record),
// against the same simulator thread calling a bare function with the same
// arguments. Both deliver 100,000 messages per iteration; the figure is
// messages per second, and the program ends with their ratio.

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include "median_runs.hpp"

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/temp_folder.hpp"
#include "drivers/sim/gsm_sim_client.hpp"
#include "gateways/modem/gsm_document.hpp"
#include "hostkit/module.hpp"

namespace talvenix {
namespace {

constexpr uint32_t kPort = 3;
constexpr uint32_t kBurst = 100000;
constexpr const char* kOriginator = "+447700900123";
constexpr const char* kText = "Meeting moved to 10:30, see you there";

std::atomic<uint64_t> g_delivered{0};

int32_t TALVEX_CALL HostCallback(int32_t, int32_t, uint32_t kind, uintptr_t, void* data, uint32_t) {
  if (kind == TALVEX_EVENT_RECEIVED) {
    benchmark::DoNotOptimize(static_cast<TalvexReceivedMessage*>(data)->text.text);
    g_delivered.fetch_add(1, std::memory_order_relaxed);
  }
  return 0;
}

void TALVEX_CALL BareCallback(int32_t, int32_t, uint32_t kind, void*, void* data, uint32_t) {
  if (kind == TALVEX_DRV_RECEIVED) {
    benchmark::DoNotOptimize(static_cast<TalvexDriverIncomingSms*>(data)->text);
    g_delivered.fetch_add(1, std::memory_order_relaxed);
  }
}

std::string Folder(const std::string& file) { return file.substr(0, file.find_last_of('/')); }

// The module running the GSM service on one simulated line.
struct Running {
  Running() : sim(sim::SimClient::Load(Folder(TALVENIX_MODULE_PATH) + "/libgsmsim.so")) {
    setenv(TALVEX_GSM_DRIVER_ENV, (Folder(TALVENIX_MODULE_PATH) + "/libgsmsim.so").c_str(), 1);
    sim.Reset();
    folder.Write("qvsmscomms.xml", testing::GsmDocument({{static_cast<int>(kPort), 9600, "Bench"}}));
    TalvexGenericOptions* options = nullptr;
    started = module.InitTalvex(0, HostCallback, &options) == TALVEX_OK;
    sim.WaitIdle(5000);
  }
  ~Running() {
    module.Unint();
    sim.Reset();
  }
  host::Module module = host::Module::Load(TALVENIX_MODULE_PATH);
  sim::SimClient sim;
  testing::TempFolder folder{"gsm-bench"};
  testing::WorkingFolder cwd{folder.path()};
  bool started = false;
};

Running& Module() {
  static Running running;
  return running;
}

void Deliver(benchmark::State& state, TalvexDriverCallback target) {
  Running& r = Module();
  if (!r.started) {
    state.SkipWithError("the GSM service did not start; see Talvenix.log");
    return;
  }
  g_delivered = 0;
  for (auto _ : state) r.sim.DeliverBurst(kPort, kBurst, kOriginator, kText, target);
  if (g_delivered != static_cast<uint64_t>(state.iterations()) * kBurst) state.SkipWithError("messages were lost");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBurst));
}

void BM_IncomingToHostCallback(benchmark::State& state) { Deliver(state, nullptr); }
void BM_BareCallFromSimulatorThread(benchmark::State& state) { Deliver(state, BareCallback); }

// The work happens on the simulator's thread: wall time is what counts. The
// ratio is the median of nine paired runs.
BENCHMARK(BM_IncomingToHostCallback)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareCallFromSimulatorThread)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace talvenix

int main(int argc, char** argv) {
  double ratio =
      talvenix::bench::RunPaired(argc, argv, "BM_IncomingToHostCallback", "BM_BareCallFromSimulatorThread", 9);
  if (ratio > 0) std::printf("bare call / through the module: %.2f (target: at most 5)\n", ratio);
  return 0;
}
