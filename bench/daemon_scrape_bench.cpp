// SPDX-License-Identifier: Apache-2.0
// /metrics and lookups over a long history: the queue holds 1,000,000
// settled messages (written straight into the daemon's own database between
// a first start that makes its schema and the measured start); the latency
// of /metrics scraped back to back, and of GET /v1/messages/{id} alone and
// while another client scrapes /metrics back to back. Set
// TALVENIX_BASELINE_DAEMON to an older build's talvenixd to measure it in
// the same run.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <atomic>
#include <thread>

#include "bench/daemon_clients.hpp"
#include "daemon/daemon_fixture.hpp"

namespace {

using namespace talvenix::testing;
using talvenix::bench::Percentile;

constexpr int kStored = 1'000'000;
constexpr int kRequests = 300;

// kStored messages sent a minute ago, each with its queued and sent events.
bool FillHistory(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  const std::string now = std::to_string(talvenix::daemon::NowMs() - 60'000);
  const std::string sql =
      "PRAGMA synchronous=OFF; BEGIN;"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<" +
      std::to_string(kStored) +
      ") INSERT INTO messages(id, recipient, body, sender, client_ref, callback_url, kannel_dlr_mask, state, code, "
      "code_name, settled_ms) SELECT printf('%032x', i), '+15550100', 'a stored message', '', '', '', -1, 'sent', 0, "
      "'success', " +
      now + " FROM n;"
            "INSERT INTO message_events(message_seq, at_ms, state, code, detail) SELECT seq, " +
      now + ", 'queued', NULL, '' FROM messages;"
            "INSERT INTO message_events(message_seq, at_ms, state, code, detail) SELECT seq, " +
      now + ", 'sent', 0, 'success' FROM messages; COMMIT;";
  const bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

// Each request's latency in milliseconds, sorted.
std::vector<double> Time(const DaemonProcess& daemon, const std::function<std::string(int)>& path) {
  httplib::Client client = daemon.Client();
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);
  std::vector<double> ms;
  for (int i = 0; i < kRequests; ++i) {
    auto start = std::chrono::steady_clock::now();
    auto res = client.Get(path(i));
    if (res && res->status == 200)
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms;
}

void LongHistory(benchmark::State& state, const std::string& program) {
  DaemonSettings settings{NullGatewayDocument(), ""};
  settings.program = program;
  DaemonProcess daemon(settings);
  if (!daemon.Start()) return state.SkipWithError("talvenixd did not start");
  daemon.Terminate();
  if (!FillHistory(daemon.folder().File("queue.db"))) return state.SkipWithError("the history was not written");
  if (!daemon.Start()) return state.SkipWithError("talvenixd did not start on the history");
  auto lookup = [](int i) {
    char id[40];
    std::snprintf(id, sizeof id, "%032x", 1 + (i * 7919) % kStored);
    return std::string("/v1/messages/") + id;
  };
  std::vector<double> scrapes, alone, beside;
  for (auto _ : state) {
    scrapes = Time(daemon, [](int) { return std::string("/metrics"); });
    alone = Time(daemon, lookup);
    std::atomic<bool> stop{false};
    std::thread scraper([&] {
      httplib::Client client = daemon.Client();
      client.set_keep_alive(true);
      while (!stop) client.Get("/metrics");
    });
    beside = Time(daemon, lookup);
    stop = true;
    scraper.join();
  }
  state.counters["scrape_p50_ms"] = Percentile(scrapes, 0.50);
  state.counters["scrape_p99_ms"] = Percentile(scrapes, 0.99);
  state.counters["lookup_p99_ms"] = Percentile(alone, 0.99);
  state.counters["lookup_beside_scrapes_p99_ms"] = Percentile(beside, 0.99);
  state.counters["answered"] = static_cast<double>(scrapes.size() + alone.size() + beside.size());
}

}  // namespace

int main(int argc, char** argv) {
  talvenix::bench::RegisterPerDaemon("BM_MillionStoredMessages", LongHistory, [](benchmark::internal::Benchmark* b) {
    b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
  });
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
