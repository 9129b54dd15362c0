// SPDX-License-Identifier: Apache-2.0
// talvenixd over HTTP: messages accepted per second with 16 client
// connections (each 202 only after its batch is on disk) with the 202's p50
// and p99 latency; and messages per second end to end into a test provider,
// against the provider gateway alone (SendSMS in a loop) in the same run.
// CPU per message: the daemon's (daemon_cpu_us), the sending thread's in the
// gateway alone (sender_cpu_us), and the queue's alone (BM_QueueCycle...).
// The queue lives in TMPDIR: point it at the disk the daemon would use.
// Set TALVENIX_BASELINE_DAEMON to an older build's talvenixd to measure it
// in the same run.

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>

#include "bench/daemon_clients.hpp"
#include "common/temp_folder.hpp"
#include "daemon/daemon_fixture.hpp"
#include "daemon/queue_sqlite.hpp"
#include "gateways/internet/clickatell_document.hpp"
#include "hostkit/module.hpp"
#include "peers/http_peer.hpp"

namespace {

using namespace talvenix::testing;
using talvenix::bench::kClients;
using talvenix::bench::Percentile;

// `count` POSTs from kClients threads.
std::vector<double> PostMessages(const DaemonProcess& daemon, int count, std::atomic<int>& failed) {
  std::atomic<int> next{0};
  return talvenix::bench::PostMessages(
      daemon, [&] { return next++ < count; }, failed);
}

// User and system CPU time of this process or thread, in microseconds.
double CpuMicros(int who) {
  rusage u{};
  getrusage(who, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

void Accept16Clients(benchmark::State& state, const std::string& program) {
  DaemonSettings settings{NullGatewayDocument(), ""};
  settings.program = program;
  settings.messages_per_second = 1;  // the queue fills; only accepting is measured
  DaemonProcess daemon(settings);
  if (!daemon.Start()) return state.SkipWithError("talvenixd did not start");
  std::vector<double> latencies;
  std::atomic<int> failed{0};
  const double cpu_before = daemon.CpuSeconds();
  for (auto _ : state) latencies = PostMessages(daemon, static_cast<int>(state.range(0)), failed);
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["daemon_cpu_us"] = (daemon.CpuSeconds() - cpu_before) * 1e6 / (state.iterations() * state.range(0));
  state.counters["p50_ms"] = Percentile(latencies, 0.50);
  state.counters["p99_ms"] = Percentile(latencies, 0.99);
  state.counters["failed"] = failed.load();
}

void EndToEndIntoProvider(benchmark::State& state, const std::string& program) {
  HttpPeer provider;
  DaemonSettings settings{ClickatellDocument({"k", "u", "p", ""}, provider.base()), ""};
  settings.program = program;
  DaemonProcess daemon(settings);
  if (!daemon.Start()) return state.SkipWithError("talvenixd did not start");
  const int count = static_cast<int>(state.range(0));
  std::atomic<int> failed{0};
  double accept_seconds = 0, drain_per_second = 0;
  const std::map<std::string, double> cpu_before = daemon.ThreadCpuSeconds();
  for (auto _ : state) {
    const size_t before = provider.request_count();
    auto start = std::chrono::steady_clock::now();
    PostMessages(daemon, count, failed);
    auto accepted = std::chrono::steady_clock::now();
    const size_t at_accepted = provider.request_count();
    // Done when the provider has every accepted message. Its count is read
    // in this process every 0.2 ms, so the end is not rounded up to a
    // polling step, and asking costs the daemon nothing.
    const size_t all = before + static_cast<size_t>(count - failed);
    while (provider.request_count() < all && std::chrono::steady_clock::now() - accepted < std::chrono::seconds(300))
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    auto end = std::chrono::steady_clock::now();
    accept_seconds = std::chrono::duration<double>(accepted - start).count();
    // The sends after the last 202: how fast the dispatcher empties the queue.
    drain_per_second = static_cast<double>(provider.request_count() - at_accepted) /
                       std::chrono::duration<double>(end - accepted).count();
  }
  state.SetItemsProcessed(state.iterations() * count);
  state.counters["failed"] = failed.load();
  state.counters["accept_s"] = accept_seconds;
  state.counters["drain_per_s"] = drain_per_second;
  // Per message: the dispatcher (with the module's sending), the queue's
  // writer, and the rest (the API's threads, mostly).
  double total = 0;
  for (auto [name, seconds] : daemon.ThreadCpuSeconds()) {
    auto before = cpu_before.find(name);
    const double us =
        (seconds - (before == cpu_before.end() ? 0 : before->second)) * 1e6 / (state.iterations() * count);
    total += us;
    if (name == "dispatcher") state.counters["dispatcher_cpu_us"] = us;
    if (name == "queue writer") state.counters["writer_cpu_us"] = us;
  }
  state.counters["daemon_cpu_us"] = total;
}

// The queue alone, in this process: 16 threads accept `count` messages while
// a dispatcher-like thread claims, hands and records each; the CPU time of
// the whole cycle per message (user and system), free of HTTP and the module.
void BM_QueueCyclePerMessage(benchmark::State& state) {
  TempFolder folder{"queue-bench"};
  const int count = static_cast<int>(state.range(0));
  double cpu_us = 0;
  for (auto _ : state) {
    talvenix::daemon::SqliteQueue queue((folder.path() / "queue.db").string(), "");
    const double before = CpuMicros(RUSAGE_SELF);
    std::atomic<int> next{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
      clients.emplace_back([&] {
        while (next++ < count) queue.Accept({"+15550100", "bench message", "", "", "", -1});
      });
    for (int done = 0; done < count;) {
      std::vector<talvenix::daemon::OutgoingMessage> batch = queue.ClaimNext(32);
      if (batch.empty()) queue.WaitForWork(std::chrono::milliseconds(5));
      for (const talvenix::daemon::OutgoingMessage& m : batch) {
        queue.MarkHanded(m.id);
        queue.RecordCode(m.id, 0, "success");
        ++done;
      }
    }
    for (auto& t : clients) t.join();
    queue.Flush();
    cpu_us = (CpuMicros(RUSAGE_SELF) - before) / count;
  }
  state.SetItemsProcessed(state.iterations() * count);
  state.counters["cpu_us"] = cpu_us;
}
BENCHMARK(BM_QueueCyclePerMessage)
    ->Arg(4000)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

int32_t Ignore(int32_t, int32_t, uint32_t, uintptr_t, void*, uint32_t) { return 0; }

// The same provider and gateway without the daemon: SendSMS in a loop.
void BM_ProviderGatewayAlone(benchmark::State& state) {
  HttpPeer provider;
  TempFolder folder{"daemon-bench"};
  WorkingFolder inside{folder.path()};
  folder.Write("qvsmscomms.xml", ClickatellDocument({"k", "u", "p", ""}, provider.base()));
  talvenix::host::Module& m = talvenix::host::Module::Get();
  TalvexGenericOptions* options = nullptr;
  if (m.InitTalvex(0, Ignore, &options) != TALVEX_OK) return state.SkipWithError("InitTalvex failed");
  const int count = static_cast<int>(state.range(0));
  const double cpu_before = CpuMicros(RUSAGE_THREAD);
  for (auto _ : state) {
    for (int i = 0; i < count; ++i) {
      char16_t text[] = u"bench message";
      TalvexSmsRequest request{};
      request.text = text;
      request.text_capacity = sizeof text / sizeof text[0];
      request.recipient = "+15550100";
      if (m.SendSMS(&request) != TALVEX_OK) return state.SkipWithError("SendSMS failed");
    }
  }
  state.counters["sender_cpu_us"] = (CpuMicros(RUSAGE_THREAD) - cpu_before) / (state.iterations() * count);
  m.Unint();
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_ProviderGatewayAlone)
    ->Arg(2000)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  auto shape = [](int count) {
    return [count](benchmark::internal::Benchmark* b) {
      b->Arg(count)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
    };
  };
  talvenix::bench::RegisterPerDaemon("BM_Accept16Clients", Accept16Clients, shape(4000));
  talvenix::bench::RegisterPerDaemon("BM_EndToEndIntoProvider", EndToEndIntoProvider, shape(2000));
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
