// SPDX-License-Identifier: Apache-2.0
// One worker cycle of the device gateway with 1,000 tracked messages (1,000
// state queries and one poll for received messages), through the whole
// module, against a bare libcurl loop of the same 1,000 query GETs on one
// reused handle, both to the same device simulator in the same run. The
// figure is the time of one cycle; the program ends with their ratio.

#include <benchmark/benchmark.h>

#include <curl/curl.h>
#include <stdlib.h>
#include "median_runs.hpp"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/temp_folder.hpp"
#include "hostkit/module.hpp"
#include "peers/isms_device_sim.hpp"

namespace talvenix {
namespace {

constexpr int kTracked = 1000;

std::string Document(int port) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vantrelcomms><sms><config>"
         "<option name=\"enableengine\" value=\"yes\"/><option name=\"selectedservice\" value=\"iSMS\"/>"
         "</config><services><service name=\"iSMS\" transport=\"multitechisms\"><properties>"
         "<property id=\"[username]\" value=\"admin\"/><property id=\"[password]\" value=\"admin\"/>"
         "<property id=\"[ipaddress]\" value=\"127.0.0.1\"/><property id=\"[port]\" value=\"" +
         std::to_string(port) + "\"/></properties></service></services></sms><templates/></vantrelcomms>\n";
}

struct Device {
  Device() {
    started = sim.Start();
    sim.SetStates({"2"});  // in progress for ever: every cycle asks about all of them
    folder.Write("qvsmscomms.xml", Document(sim.port()));
  }
  peers::IsmsDeviceSim sim{"admin", "admin"};
  testing::TempFolder folder{"device-poll-bench"};
  testing::WorkingFolder cwd{folder.path()};
  bool started = false;
};

Device& TheDevice() {
  static Device device;
  return device;
}

int32_t TALVEX_CALL HostCallback(int32_t, int32_t, uint32_t, uintptr_t, void*, uint32_t) { return 0; }

void BM_WorkerCycleThroughTheModule(benchmark::State& state) {
  Device& d = TheDevice();
  // The worker cycles without a pause, so consecutive cycles are back to back.
  setenv("TALVENIX_POLL_INTERVAL_MS", "0", 1);
  host::Module& module = host::Module::Get();
  TalvexGenericOptions* options = nullptr;
  if (!d.started || module.InitTalvex(0, HostCallback, &options) != TALVEX_OK) {
    state.SkipWithError("the device service did not start; see Talvenix.log");
    return;
  }
  std::vector<std::u16string> texts(kTracked, u"benchmark message");
  std::vector<TalvexSmsRequest> requests(kTracked);
  for (int i = 0; i < kTracked; ++i) {
    texts[i].resize(32, u'\0');
    requests[i].text = texts[i].data();
    requests[i].text_capacity = 32;
    requests[i].recipient = "+15550100";
    if (module.SendSMS(&requests[i]) != TALVEX_PENDING) {
      state.SkipWithError("a send was not accepted");
      module.Unint();
      return;
    }
  }
  for (auto _ : state) {
    uint64_t target = d.sim.RequestCount() + kTracked + 1;
    if (!d.sim.WaitForRequestCount(target, 60000)) state.SkipWithError("the worker stopped asking");
  }
  module.Unint();
  unsetenv("TALVENIX_POLL_INTERVAL_MS");
  state.SetItemsProcessed(state.iterations() * (kTracked + 1));
}

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

void BM_BareCurlKeepAliveLoop(benchmark::State& state) {
  Device& d = TheDevice();
  std::vector<std::string> urls;
  for (int i = 1; i <= kTracked; ++i)
    urls.push_back("http://127.0.0.1:" + std::to_string(d.sim.port()) +
                   "/querymsg?user=admin&passwd=admin&apimsgid=" + std::to_string(i));
  CURL* curl = curl_easy_init();
  std::string body;
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  for (auto _ : state) {
    for (const std::string& url : urls) {
      body.clear();
      curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
      if (curl_easy_perform(curl) != CURLE_OK) state.SkipWithError("a query failed");
      benchmark::DoNotOptimize(body.data());
    }
  }
  curl_easy_cleanup(curl);
  state.SetItemsProcessed(state.iterations() * kTracked);
}

// The requests run on the worker thread and the server's threads: wall time
// is what counts. The ratio is the median of nine paired runs.
BENCHMARK(BM_WorkerCycleThroughTheModule)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareCurlKeepAliveLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace talvenix

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  double ratio =
      talvenix::bench::RunPaired(argc, argv, "BM_WorkerCycleThroughTheModule", "BM_BareCurlKeepAliveLoop", 9);
  if (ratio > 0) std::printf("one worker cycle / bare keep-alive loop: %.2f (target: at most 1.5)\n", ratio);
  curl_global_cleanup();
  return 0;
}
