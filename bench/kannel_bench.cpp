// SPDX-License-Identifier: Apache-2.0
// talvenixd beside Kannel 1.4.5 (Debian's bearerbox and smsbox), both
// sending into the same kind of loopback provider in this process, while 16
// client threads, each on its own kept connection, post MessagesAt messages:
//   accepted_per_s   requests accepted (talvenixd: 202; Kannel: 202 with
//                    "0: Accepted for delivery") per second of posting
//   delivered_per_s  accepted messages that reached the provider, per second
//                    from the first request to the last arrival
//   p50_ms, p99_ms   from a request's send to its message's arrival
//   failed           requests not accepted
//   lost             accepted, but not at the provider 60 s after the last accept
//   duplicates       arrivals of a message already there
// talvenixd runs with [queue] parallel = 1, 4, 8, 16; Kannel with its HTTP
// SMSC's max-pending-submits = 10. The provider answers at once (latency_ms
// 0: the machine's CPU is the limit), or after 20 ms, as a provider across
// the internet does, where sends in flight at once decide the rate.
// How to read them: the two do not promise the same thing. talvenixd answers
// 202 only once the message's batch is on disk (fdatasync'd), so a crash
// after the 202 loses nothing. Kannel's file store is a memory dump written
// every few seconds and never synced, so its "Accepted" is a promise held in
// memory; and when it accepts faster than it sends, its queue (and with it
// the latency to the provider) grows for as long as clients post. The
// clients, the provider and the system measured share this machine's cores.
// Every message has its own text ("bench 000123"), so each arrival is tied to
// its request; the provider notes a steady_clock time per arrival.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/daemon_clients.hpp"
#include "common/free_port.hpp"
#include "common/temp_folder.hpp"
#include "daemon/daemon_fixture.hpp"
#include "gateways/internet/clickatell_document.hpp"

namespace {

using namespace talvenix::testing;
using talvenix::bench::kClients;
using talvenix::bench::Percentile;
using Clock = std::chrono::steady_clock;

// Fewer where each send waits for the provider: one at a time, 20 ms each.
int MessagesAt(int latency_ms) { return latency_ms == 0 ? 20000 : 2000; }
constexpr auto kLostAfter = std::chrono::seconds(60);
const char* const kBearerbox = "/usr/sbin/bearerbox";
const char* const kSmsbox = "/usr/sbin/smsbox";

// The provider both systems send to, answering as Clickatell does ("200",
// "ID: <n>"), noting when each bench message first arrived. Not HttpPeer: its
// server has cpp-httplib's default 8 workers here, and a worker stays with
// one kept connection while it is busy, so of Kannel's 10 or talvenixd's 16
// connections the rest would wait for the whole run.
class Provider {
 public:
  Provider(int count, int latency_ms) : arrivals_(static_cast<size_t>(count)) {
    server_.new_task_queue = [] { return new httplib::ThreadPool(128); };
    server_.set_tcp_nodelay(true);
    server_.set_keep_alive_max_count(1000000);
    server_.set_keep_alive_timeout(5);
    server_.Get(".*", [this, latency_ms](const httplib::Request& req, httplib::Response& res) {
      const int64_t now = Clock::now().time_since_epoch().count();
      Note(req.get_param_value("text"), now);
      if (latency_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(latency_ms));
      res.set_content("ID: " + std::to_string(++answered_), "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    WaitUntil([this] { return server_.is_running(); });
  }
  ~Provider() {
    server_.stop();
    thread_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int arrived() const { return arrived_; }
  int duplicates() const { return duplicates_; }
  // When message `i` first arrived; nullopt while it has not.
  std::optional<Clock::time_point> arrival(size_t i) const {
    const int64_t t = arrivals_[i].load();
    if (t == 0) return std::nullopt;
    return Clock::time_point(Clock::duration(t));
  }

 private:
  void Note(const std::string& text, int64_t now) {
    const std::string prefix = "bench ";
    if (text.compare(0, prefix.size(), prefix) != 0) return;
    size_t i = 0;
    const char* digits = text.data() + prefix.size();
    if (std::from_chars(digits, text.data() + text.size(), i).ec != std::errc() || i >= arrivals_.size()) return;
    int64_t none = 0;
    if (arrivals_[i].compare_exchange_strong(none, now))
      ++arrived_;
    else
      ++duplicates_;
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::vector<std::atomic<int64_t>> arrivals_;  // steady_clock ticks, 0 until it came
  std::atomic<int> arrived_{0}, duplicates_{0};
  std::atomic<long> answered_{0};
};

std::string MessageText(int i) {
  char text[32];
  std::snprintf(text, sizeof text, "bench %06d", i);
  return text;
}

// What the clients saw: when each request went out and whether it was accepted.
struct Posting {
  Clock::time_point start, last_accept;
  std::vector<Clock::time_point> sent;
  std::vector<char> accepted;
  int failed = 0;
};

// kClients threads, each with its own client (and so its own kept
// connection), send messages 0..count-1 through `send`, true when accepted.
using Connect = std::function<httplib::Client()>;
using Send = std::function<bool(httplib::Client&, int)>;
Posting PostAll(int count, const Connect& connect, const Send& send) {
  Posting p;
  p.sent.resize(static_cast<size_t>(count));
  p.accepted.resize(static_cast<size_t>(count));
  std::atomic<int> next{0}, failed{0};
  std::vector<Clock::time_point> last(kClients);
  p.start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c)
    threads.emplace_back([&, c] {
      httplib::Client client = connect();
      client.set_keep_alive(true);
      client.set_tcp_nodelay(true);
      client.set_read_timeout(10);
      for (int i; (i = next++) < count;) {
        p.sent[static_cast<size_t>(i)] = Clock::now();
        if (!send(client, i)) {
          ++failed;
          continue;
        }
        p.accepted[static_cast<size_t>(i)] = 1;
        last[static_cast<size_t>(c)] = Clock::now();
      }
    });
  for (auto& t : threads) t.join();
  p.last_accept = *std::max_element(last.begin(), last.end());
  p.failed = failed;
  return p;
}

// Waits until every accepted message reached the provider, or kLostAfter
// passed since the last accept; then sets the counters.
void WaitAndReport(benchmark::State& state, const Posting& p, const Provider& provider) {
  const int accepted = static_cast<int>(std::count(p.accepted.begin(), p.accepted.end(), 1));
  auto all_there = [&] {
    if (provider.arrived() < accepted) return false;
    for (size_t i = 0; i < p.accepted.size(); ++i)
      if (p.accepted[i] && !provider.arrival(i)) return false;
    return true;
  };
  // Read in this process every millisecond: the end is not rounded up to a
  // polling step, and asking costs the systems nothing.
  while (!all_there() && Clock::now() < p.last_accept + kLostAfter)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));

  std::vector<double> latencies;
  Clock::time_point last_arrival = p.start;
  int lost = 0;
  for (size_t i = 0; i < p.accepted.size(); ++i) {
    if (!p.accepted[i]) continue;
    std::optional<Clock::time_point> at = provider.arrival(i);
    if (!at) {
      ++lost;
      continue;
    }
    latencies.push_back(std::chrono::duration<double, std::milli>(*at - p.sent[i]).count());
    last_arrival = std::max(last_arrival, *at);
  }
  std::sort(latencies.begin(), latencies.end());
  auto seconds = [&](Clock::time_point end) { return std::chrono::duration<double>(end - p.start).count(); };
  state.counters["accepted_per_s"] = accepted > 0 ? accepted / seconds(p.last_accept) : 0;
  state.counters["delivered_per_s"] =
      latencies.empty() ? 0 : static_cast<double>(latencies.size()) / seconds(last_arrival);
  state.counters["p50_ms"] = Percentile(latencies, 0.50);
  state.counters["p99_ms"] = Percentile(latencies, 0.99);
  state.counters["failed"] = p.failed;
  state.counters["lost"] = lost;
  state.counters["duplicates"] = provider.duplicates();
}

// The last line of a log, to tell why something did not start.
std::string LastLine(const std::string& text) {
  std::string trimmed = text.substr(0, text.find_last_not_of("\r\n") + 1);
  const size_t cut = trimmed.find_last_of('\n');
  return cut == std::string::npos ? trimmed : trimmed.substr(cut + 1);
}

// bearerbox and smsbox with their own configuration, store and logs in a
// temporary folder, on free loopback ports, sending to `provider`.
class Kannel {
 public:
  explicit Kannel(const std::string& provider) { folder_.Write("kannel.conf", Configuration(provider)); }
  ~Kannel() { Stop(); }

  // Empty when both boxes run, the SMSC is online and sendsms answers; else why not.
  std::string Start() {
    if (std::string why = Spawn(kBearerbox, "bearerbox.out"); !why.empty()) return why;
    // smsbox gives up at once when bearerbox does not take its connection yet.
    if (!WhileRunning([this] {
          const int s = ConnectToLoopback(smsbox_port_);
          if (s >= 0) close(s);
          return s >= 0;
        }))
      return "bearerbox did not open its smsbox port: " + Complaint("bearerbox.out");
    if (std::string why = Spawn(kSmsbox, "smsbox.out"); !why.empty()) return why;
    if (!WhileRunning([this] { return Ready(); }))
      return "Kannel's SMSC was not online or sendsms did not answer: " + Complaint("bearerbox.out") + " " +
             Complaint("smsbox.out");
    return "";
  }

  // SIGTERM to smsbox and bearerbox, SIGKILL to a box still running 5 s later.
  void Stop() {
    for (pid_t pid : boxes_) kill(pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (pid_t pid : boxes_) {
      while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
          kill(pid, SIGKILL);
          waitpid(pid, nullptr, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    boxes_.clear();
  }

  httplib::Client Client() const { return httplib::Client("127.0.0.1", sendsms_port_); }
  // sendsms answers 202 also with "3: Queued for later delivery" (no SMSC
  // took it); only "0: Accepted for delivery" counts.
  static bool Send(httplib::Client& client, int i) {
    std::string text = MessageText(i);
    text.replace(text.find(' '), 1, "%20");
    auto res = client.Get("/cgi-bin/sendsms?username=bench&password=bench-pw&to=%2B15550100&text=" + text);
    return res && res->status == 202 && res->body.rfind("0: Accepted", 0) == 0;
  }

 private:
  // For the generic HTTP SMSC %p is the receiver and %P the sender, as the
  // user guide's own example has it (from=%P&to=%p), though its table of
  // escapes reads the other way. Without status-success-regex any 2xx
  // counts as sent; with it a body like Clickatell's is needed, as the
  // talvenixd gateway needs one. The SMSC's `port` is its MO listener,
  // unused here but required.
  std::string Configuration(const std::string& provider) const {
    std::string text = R"(group = core
admin-port = ADMIN_PORT
admin-interface = 127.0.0.1
admin-password = bench-admin
status-password = bench-status
smsbox-port = SMSBOX_PORT
smsbox-interface = 127.0.0.1
store-type = file
store-location = "DIR/kannel.store"
log-file = "DIR/bearerbox.log"
log-level = 2

group = smsc
smsc = http
smsc-id = provider
system-type = generic
send-url = "PROVIDER/http/sendmsg?to=%p&text=%b"
status-success-regex = "^ID: "
max-pending-submits = 10
port = MO_PORT
connect-allow-ip = 127.0.0.1

group = smsbox
bearerbox-host = 127.0.0.1
sendsms-port = SENDSMS_PORT
sendsms-interface = 127.0.0.1
log-file = "DIR/smsbox.log"
log-level = 2

group = sendsms-user
username = bench
password = bench-pw
# sendsms refuses a message without a sender
default-sender = 15550199

group = sms-service
keyword = default
text = "No service"
)";
    const std::pair<std::string, std::string> values[] = {{"ADMIN_PORT", std::to_string(admin_port_)},
                                                          {"SMSBOX_PORT", std::to_string(smsbox_port_)},
                                                          {"MO_PORT", std::to_string(mo_port_)},
                                                          {"SENDSMS_PORT", std::to_string(sendsms_port_)},
                                                          {"DIR", folder_.path().string()},
                                                          {"PROVIDER", provider}};
    for (const auto& [name, value] : values)
      for (size_t at = 0; (at = text.find(name, at)) != std::string::npos; at += value.size())
        text.replace(at, name.size(), value);
    return text;
  }

  // Waits until `done`; false when a box ended first or 30 s passed.
  bool WhileRunning(const std::function<bool()>& done) {
    bool ended = false;
    return WaitUntil([&] {
             std::erase_if(boxes_, [&](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == pid && (ended = true); });
             return ended || done();
           }) &&
           !ended;
  }

  // A box's first PANIC line, else its last ERROR (a first start logs
  // errors for the store files that are not there yet), to tell why it
  // did not start.
  std::string Complaint(const std::string& output) const {
    std::istringstream lines(folder_.Read(output));
    std::string error;
    for (std::string line; std::getline(lines, line);) {
      if (line.find("PANIC:") != std::string::npos) return line;
      if (line.find("ERROR:") != std::string::npos) error = line;
    }
    return error;
  }

  bool Ready() const {
    httplib::Client admin("127.0.0.1", admin_port_);
    auto status = admin.Get("/status.txt?password=bench-status");
    if (!status || status->body.find("smsbox:") == std::string::npos ||
        status->body.find("(online") == std::string::npos)
      return false;
    return static_cast<bool>(httplib::Client("127.0.0.1", sendsms_port_).Get("/cgi-bin/sendsms"));
  }

  // fork and exec rather than posix_spawn, for PR_SET_PDEATHSIG: a box dies
  // with the thread that started it (the benchmark's, main), so even a bench
  // killed outright leaves no box behind. The child calls only
  // async-signal-safe functions: the provider's threads run meanwhile.
  std::string Spawn(const char* program, const std::string& output) {
    if (access(program, X_OK) != 0)
      return std::string(program) + " is not installed (scripts/deps bench installs kannel)";
    std::vector<std::string> words{program, "-v", "2", folder_.File("kannel.conf")};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const int out = open(folder_.File(output).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      dup2(in, 0);
      dup2(out, 1);
      dup2(out, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out);
    close(in);
    if (pid < 0) return std::string("fork failed for ") + program;
    boxes_.insert(boxes_.begin(), pid);  // stopped in the reverse order: smsbox first
    return "";
  }

  TempFolder folder_{"kannel"};
  int admin_port_ = FreeLoopbackPort(), smsbox_port_ = FreeLoopbackPort(), mo_port_ = FreeLoopbackPort(),
      sendsms_port_ = FreeLoopbackPort();
  std::vector<pid_t> boxes_;
};

void BM_Kannel(benchmark::State& state) {
  const int latency_ms = static_cast<int>(state.range(0)), messages = MessagesAt(latency_ms);
  Provider provider(messages, latency_ms);
  Kannel kannel(provider.base());
  if (std::string why = kannel.Start(); !why.empty()) return state.SkipWithError(why.c_str());
  auto connect = [&] { return kannel.Client(); };
  for (auto _ : state) WaitAndReport(state, PostAll(messages, connect, Kannel::Send), provider);
}
BENCHMARK(BM_Kannel)
    ->ArgName("latency_ms")
    ->Arg(0)
    ->Arg(20)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_Talvenixd(benchmark::State& state) {
  const int parallel = static_cast<int>(state.range(0));
  const int latency_ms = static_cast<int>(state.range(1)), messages = MessagesAt(latency_ms);
  Provider provider(messages, latency_ms);
  DaemonSettings settings{ClickatellDocument({"k", "u", "p", ""}, provider.base()), ""};
  // One sender is the daemon's default: that run needs no [queue] section.
  if (parallel > 1) settings.more_ini = "[queue]\nparallel = " + std::to_string(parallel) + "\n";
  DaemonProcess daemon(settings);
  if (!daemon.Start()) {
    const std::string why = "talvenixd did not start with [queue] parallel = " + std::to_string(parallel) + ": " +
                            LastLine(daemon.folder().Read("daemon.err"));
    return state.SkipWithError(why.c_str());
  }
  auto send = [](httplib::Client& client, int i) {
    auto res =
        client.Post("/v1/messages", R"({"to":"+15550100","text":")" + MessageText(i) + "\"}", "application/json");
    return res && res->status == 202;
  };
  auto connect = [&] { return daemon.Client(); };
  for (auto _ : state) WaitAndReport(state, PostAll(messages, connect, send), provider);
}
BENCHMARK(BM_Talvenixd)
    ->ArgNames({"parallel", "latency_ms"})
    ->ArgsProduct({{1, 4, 8, 16}, {0}})
    ->ArgsProduct({{1, 10, 16, 32}, {20}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
