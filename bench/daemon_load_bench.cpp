// SPDX-License-Identifier: Apache-2.0
// talvenixd's API under hostile connections, on loopback: 16 active
// clients POST for a few seconds alone, beside 1,000 idle connections (from
// eight client addresses), and beside 64 clients that send one header line
// every 3 s; their accepted/s and the 202's p50/p99 latency. Then the
// daemon's resident memory while 100 clients each upload 10 MB at once, half
// chunked, half a gzip bomb (10 MB that inflates to 10 GB), all with a key.
// Set TALVENIX_BASELINE_DAEMON to an older build's talvenixd to measure it
// in the same run.

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "bench/daemon_clients.hpp"
#include "common/free_port.hpp"
#include "daemon/daemon_fixture.hpp"

namespace {

using namespace talvenix::testing;
using talvenix::bench::Percentile;

constexpr auto kLength = std::chrono::seconds(4);

// Clients that send a header line every 3 s and start again when cut off.
class SlowHeaders {
 public:
  SlowHeaders(int port, int count) : thread_([this, port, count] { Run(port, count); }) {}
  ~SlowHeaders() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Run(int port, int count) {
    auto open = [port] {
      int s = ConnectToLoopback(port, 10);
      send(s, "POST /v1/messages HTTP/1.1\r\nHost: x\r\n", 37, MSG_NOSIGNAL);
      return s;
    };
    std::vector<int> sockets;
    for (int i = 0; i < count; ++i) sockets.push_back(open());
    for (int tick = 0; !stop_; ++tick) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (tick % 30 != 29) continue;
      for (int& s : sockets)
        if (send(s, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL | MSG_DONTWAIT) <= 0) {
          close(s);
          s = open();
        }
    }
    for (int s : sockets) close(s);
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

DaemonSettings Settings(const std::string& program) {
  DaemonSettings settings{NullGatewayDocument(), ""};
  settings.messages_per_second = 1;  // the queue fills; only accepting is measured
  settings.program = program;
  return settings;
}

enum class Beside { kNothing, kIdle, kSlowHeaders };

void ActiveClients(benchmark::State& state, const std::string& program, Beside beside) {
  DaemonProcess daemon(Settings(program));
  if (!daemon.Start()) return state.SkipWithError("talvenixd did not start");
  std::vector<int> idle;
  std::optional<SlowHeaders> slow;
  if (beside == Beside::kIdle)
    for (int i = 0; i < 1000; ++i) idle.push_back(ConnectToLoopback(daemon.port(), 2 + i % 8));
  if (beside == Beside::kSlowHeaders) slow.emplace(daemon.port(), 64);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<double> latencies;
  std::atomic<int> failed{0};
  for (auto _ : state) {
    const auto end = std::chrono::steady_clock::now() + kLength;
    latencies = talvenix::bench::PostMessages(
        daemon, [&] { return std::chrono::steady_clock::now() < end; }, failed);
  }
  state.counters["accepted_per_s"] =
      static_cast<double>(latencies.size()) / std::chrono::duration<double>(kLength).count();
  state.counters["p50_ms"] = Percentile(latencies, 0.50);
  state.counters["p99_ms"] = Percentile(latencies, 0.99);
  state.counters["failed"] = failed.load();
  slow.reset();
  for (int s : idle) close(s);
}

// 10 MB of gzip that inflates to 10 GB: ten members of 1 GB of zeros each.
std::string GzipBomb() {
  z_stream z{};
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
  std::string zeros(1 << 20, '\0'), member;
  std::vector<unsigned char> out(1 << 20);
  for (int mb = 0; mb < 1024; ++mb) {
    z.next_in = reinterpret_cast<Bytef*>(zeros.data());
    z.avail_in = static_cast<uInt>(zeros.size());
    const int flush = mb == 1023 ? Z_FINISH : Z_NO_FLUSH;
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      deflate(&z, flush);
      member.append(reinterpret_cast<char*>(out.data()), out.size() - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  std::string bomb;
  while (bomb.size() < 10u << 20) bomb += member;
  bomb.resize(10u << 20);
  return bomb;
}

// 100 uploads of 10 MB at once; the daemon's resident memory at idle and at
// its highest while they run (sampled every 20 ms).
void Uploads(benchmark::State& state, const std::string& program) {
  static const std::string bomb = GzipBomb();
  DaemonProcess daemon(Settings(program));
  if (!daemon.Start()) return state.SkipWithError("talvenixd did not start");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long idle_kib = daemon.StatusKiB("VmRSS");
  long peak_kib = idle_kib;
  std::atomic<int> done{0}, answered{0};
  for (auto _ : state) {
    std::vector<std::thread> clients;
    for (int i = 0; i < 100; ++i)
      clients.emplace_back([&, i] {
        const bool chunked = i % 2 == 0;
        int s = ConnectToLoopback(daemon.port(), 20 + i % 4);
        timeval limit{10, 0};
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string head =
            "POST /v1/messages HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + std::string(kApiKey) +
            "\r\nContent-Type: application/json\r\n" +
            (chunked ? "Transfer-Encoding: chunked\r\n\r\n"
                     : "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(bomb.size()) + "\r\n\r\n");
        send(s, head.data(), head.size(), MSG_NOSIGNAL);
        const std::string chunk = "10000\r\n" + std::string(0x10000, ' ') + "\r\n";
        for (size_t sent = 0; sent < bomb.size(); sent += 0x10000) {
          const std::string& piece = chunked ? chunk : bomb.substr(sent, 0x10000);
          if (send(s, piece.data(), piece.size(), MSG_NOSIGNAL) <= 0) break;
        }
        if (chunked) send(s, "0\r\n\r\n", 5, MSG_NOSIGNAL);
        char answer[16] = {};
        if (recv(s, answer, sizeof answer - 1, 0) > 0) ++answered;
        close(s);
        ++done;
      });
    while (done < 100) {
      peak_kib = std::max(peak_kib, daemon.StatusKiB("VmRSS"));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (auto& t : clients) t.join();
  }
  state.counters["rss_idle_mb"] = idle_kib / 1024.0;
  state.counters["rss_peak_mb"] = peak_kib / 1024.0;
  state.counters["above_idle_mb"] = (peak_kib - idle_kib) / 1024.0;
  state.counters["answered"] = answered.load();
}

}  // namespace

int main(int argc, char** argv) {
  using talvenix::bench::RegisterPerDaemon;
  auto load = [](benchmark::internal::Benchmark* b) {
    b->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
  };
  RegisterPerDaemon(
      "BM_Active16Alone", [](auto& s, auto& p) { ActiveClients(s, p, Beside::kNothing); }, load);
  RegisterPerDaemon(
      "BM_Active16Beside1000Idle", [](auto& s, auto& p) { ActiveClients(s, p, Beside::kIdle); }, load);
  RegisterPerDaemon(
      "BM_Active16Beside64SlowHeaders", [](auto& s, auto& p) { ActiveClients(s, p, Beside::kSlowHeaders); }, load);
  RegisterPerDaemon("BM_MemoryUnder100Uploads", Uploads, [](benchmark::internal::Benchmark* b) {
    b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
  });
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
