// SPDX-License-Identifier: Apache-2.0
// Daemons sharing one PostgreSQL queue against one daemon on SQLite, in the
// same run: 16 clients POST `count` messages spread over the daemons, each
// daemon sends to a test provider of its own, and a run ends when the
// providers have every accepted message. accepted_per_s counts the 202s,
// delivered_per_s the whole way, from the first POST to the last message at
// a provider. The PostgreSQL server keeps fsync on (its data in TMPDIR, like
// the SQLite queue). BM_Fleet/postgresql_restart: three daemons while the
// server crashes (an immediate stop) and is started again once half the
// messages were delivered.

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <thread>

#include "bench/daemon_clients.hpp"
#include "common/postgresql_server.hpp"
#include "daemon/daemon_fixture.hpp"
#include "gateways/internet/clickatell_document.hpp"
#include "peers/http_peer.hpp"

namespace {

using namespace talvenix::testing;

PostgresqlServer* DurableServer(std::string& why) {
  static std::string failure;
  static std::unique_ptr<PostgresqlServer> server = [] {
    std::unique_ptr<PostgresqlServer> s;
    if (!PostgresqlServer::Installed()) {
      failure = "PostgreSQL 15 is not installed: scripts/deps bench installs it";
      return s;
    }
    try {
      s = std::make_unique<PostgresqlServer>(true);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    return s;
  }();
  why = failure;
  return server.get();
}

// `daemons` daemons, each with a provider of its own; on PostgreSQL when a
// connection string is given, else on SQLite.
struct Fleet {
  std::vector<std::unique_ptr<HttpPeer>> providers;
  std::vector<std::unique_ptr<DaemonProcess>> daemons;

  bool Start(int count, const std::string& connection) {
    for (int i = 0; i < count; ++i) {
      providers.push_back(std::make_unique<HttpPeer>());
      DaemonSettings settings{ClickatellDocument({"k", "u", "p", ""}, providers.back()->base()), ""};
      if (!connection.empty())
        settings.more_ini =
            "[queue]\nbackend = postgresql\npostgresql = " + connection + "\nname = bench" + std::to_string(i) + "\n";
      daemons.push_back(std::make_unique<DaemonProcess>(settings));
      if (!daemons.back()->Start()) return false;
    }
    return true;
  }
  size_t Delivered() const {
    size_t n = 0;
    for (const auto& p : providers) n += p->request_count();
    return n;
  }
  std::vector<const DaemonProcess*> Daemons() const {
    std::vector<const DaemonProcess*> all;
    for (const auto& d : daemons) all.push_back(d.get());
    return all;
  }
};

void RunFleet(benchmark::State& state, bool postgresql, bool restart) {
  const int daemons = static_cast<int>(state.range(0)), count = static_cast<int>(state.range(1));
  PostgresqlServer* server = nullptr;
  std::string connection;
  if (postgresql) {
    std::string why;
    if (!(server = DurableServer(why))) return state.SkipWithError(why.c_str());
    connection = server->NewDatabase();
  }
  Fleet fleet;
  if (!fleet.Start(daemons, connection)) return state.SkipWithError("talvenixd did not start");
  std::atomic<int> failed{0}, attempts{0};
  double accepted_per_s = 0, delivered_per_s = 0;
  size_t accepted = 0, undelivered = 0;
  for (auto _ : state) {
    std::thread crash;
    if (restart)
      crash = std::thread([&] {
        WaitUntil([&] { return fleet.Delivered() >= static_cast<size_t>(count / 2); }, std::chrono::seconds(120));
        server->Kill();
        server->Start();
      });
    const auto start = std::chrono::steady_clock::now();
    // Refused POSTs (while the server is away) are made good by more of them.
    accepted = talvenix::bench::PostMessages(
                   fleet.Daemons(), [&] { return attempts++ < count + failed.load(); }, failed)
                   .size();
    const auto posted = std::chrono::steady_clock::now();
    WaitUntil([&] { return fleet.Delivered() >= accepted; }, std::chrono::seconds(300));
    const auto end = std::chrono::steady_clock::now();
    if (crash.joinable()) crash.join();
    undelivered = accepted - std::min(accepted, fleet.Delivered());
    accepted_per_s = accepted / std::chrono::duration<double>(posted - start).count();
    delivered_per_s = (accepted - undelivered) / std::chrono::duration<double>(end - start).count();
  }
  state.SetItemsProcessed(static_cast<int64_t>(accepted));
  state.counters["accepted_per_s"] = accepted_per_s;
  state.counters["delivered_per_s"] = delivered_per_s;
  state.counters["refused"] = failed.load();
  state.counters["undelivered"] = static_cast<double>(undelivered);
}

void Shape(benchmark::internal::Benchmark* b, int daemons) {
  b->Args({daemons, 3000})->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
  Shape(benchmark::RegisterBenchmark("BM_Fleet/sqlite", [](benchmark::State& s) { RunFleet(s, false, false); }), 1);
  for (int daemons : {1, 2, 3})
    Shape(benchmark::RegisterBenchmark("BM_Fleet/postgresql", [](benchmark::State& s) { RunFleet(s, true, false); }),
          daemons);
  Shape(
      benchmark::RegisterBenchmark("BM_Fleet/postgresql_restart", [](benchmark::State& s) { RunFleet(s, true, true); }),
      3);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
