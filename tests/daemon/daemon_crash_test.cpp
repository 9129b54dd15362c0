// SPDX-License-Identifier: Apache-2.0
// kill -9 of talvenixd while clients send through it to a provider, and a
// disk that fills up under it: nothing accepted is lost, nothing reaches the
// provider twice, every outcome reaches the webhook receiver.
// TALVENIX_DAEMON_CRASH_FULL=1 runs 20 kills over 2,000 sends and prints the
// figures; the default is 3 kills over 300.

#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <random>

#include "daemon/daemon_fixture.hpp"
#include "gateways/internet/clickatell_document.hpp"
#include "peers/http_peer.hpp"

namespace talvenix::testing {
namespace {

// Clients that send numbered texts through the daemon, each text once (a
// text the provider sees twice was sent twice), until `sends` were tried;
// while the daemon is down or refuses, they try the next text a little later.
class Clients {
 public:
  Clients(const DaemonProcess& daemon, int sends, int clients) : sends_(sends) {
    for (int c = 0; c < clients; ++c)
      threads_.emplace_back([this, &daemon] {
        while (true) {
          int n = next_text++;
          if (n >= sends_) return;
          std::string text = "crash test " + std::to_string(n);
          std::string id = daemon.Send({{"to", "+15550100"}, {"text", text}});
          ++attempts;
          if (id.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
          }
          std::lock_guard lock(mutex_);
          accepted_[id] = text;
        }
      });
  }
  ~Clients() { Join(); }
  void Join() {
    for (auto& t : threads_)
      if (t.joinable()) t.join();
  }
  std::map<std::string, std::string> accepted() {  // id -> text
    std::lock_guard lock(mutex_);
    return accepted_;
  }
  std::atomic<int> next_text{0}, attempts{0};

 private:
  const int sends_;
  std::mutex mutex_;
  std::map<std::string, std::string> accepted_;
  std::vector<std::thread> threads_;
};

// Every accepted message settles, none reached the provider twice, every
// sent one reached it, and every outcome reached the receiver. Prints the
// figures after `what`.
void ExpectNothingLostNothingTwice(const DaemonProcess& daemon, HttpPeer& provider, WebhookReceiver& hooks,
                                   Clients& clients, const std::string& what) {
  const std::map<std::string, std::string> accepted = clients.accepted();
  std::map<std::string, int> by_state;
  for (const auto& [id, text] : accepted) {
    std::string state;
    EXPECT_TRUE(WaitUntil([&] { return IsFinal(state = daemon.State(id)); }, std::chrono::seconds(60)))
        << id << " is " << state;
    ++by_state[state];
  }
  std::map<std::string, int> at_provider;
  for (const RecordedRequest& r : provider.requests()) ++at_provider[r.params.find("text")->second];
  for (const auto& [text, count] : at_provider) EXPECT_EQ(count, 1) << text << " reached the provider twice";
  for (const auto& [id, text] : accepted)
    if (daemon.State(id) == "sent") {
      EXPECT_EQ(at_provider[text], 1) << id << " is sent but the provider lacks it";
    }

  for (const std::string& id : hooks.WithoutOutcome(accepted)) ADD_FAILURE() << "no outcome event for " << id;
  EXPECT_EQ(hooks.bad_signatures(), 0);
  std::printf("%s, %d sends tried, %zu accepted: %d sent, %d failed, %d unknown; provider got %zu\n", what.c_str(),
              clients.attempts.load(), accepted.size(), by_state["sent"], by_state["failed"], by_state["unknown"],
              at_provider.size());
}

// `parallel`: sends in flight at once, each named in the journal before it goes out.
void KillWhileSending(int parallel) {
  const bool full = std::getenv("TALVENIX_DAEMON_CRASH_FULL") != nullptr;
  const int kills = full ? 20 : 3;
  const int sends = full ? 2000 : 300;

  HttpPeer provider;
  // A provider's round trip: sends in parallel overlap, and a kill finds several under way.
  provider.AnswerAfter(std::chrono::milliseconds(2));
  WebhookReceiver hooks("hook-secret");
  DaemonSettings settings{ClickatellDocument({"api1", "user", "pw", "Shop"}, provider.base()), hooks.url()};
  settings.more_ini = "[queue]\nparallel = " + std::to_string(parallel) + "\n";
  DaemonProcess daemon(settings);
  ASSERT_TRUE(daemon.Start());
  Clients clients(daemon, sends, 4);
  std::mt19937 random(std::random_device{}());
  for (int k = 0; k < kills; ++k) {
    // A random moment within this kill's share of the sends.
    int at = sends * k / kills + static_cast<int>(random() % (sends / kills));
    WaitUntil([&] { return clients.next_text >= at; }, std::chrono::seconds(120));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    daemon.Kill();
    ASSERT_TRUE(daemon.Start());
  }
  clients.Join();
  ExpectNothingLostNothingTwice(daemon, provider, hooks, clients,
                                std::to_string(kills) + " kills, " + std::to_string(parallel) + " in parallel");

  // An unknown message goes out again only when asked.
  for (const auto& [id, text] : clients.accepted()) {
    if (daemon.State(id) != "unknown") continue;
    auto res = daemon.Client().Post("/v1/messages/" + id + "/retry");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 202);
    EXPECT_TRUE(WaitUntil([&] { return daemon.State(id) == "sent"; }));
    break;
  }
}

TEST(DaemonCrash, KilledAtRandomMomentsLosesNothingAndSendsNothingTwice) { KillWhileSending(1); }

TEST(DaemonCrash, KilledWithEightSendsInParallelLosesNothingAndSendsNothingTwice) { KillWhileSending(8); }

// A small tmpfs in a user and mount namespace of its own, held by a sleeping
// process; programs run in it through nsenter. The test fills and frees it
// through the holder's /proc root, since the mount is invisible outside.
class SmallDisk {
 public:
  SmallDisk(const std::string& folder, size_t bytes) : folder_(folder) {
    std::string script = "mount -t tmpfs -o size=" + std::to_string(bytes) +
                         " tmpfs \"$0\" && touch \"$0/mounted\" && exec sleep 100000";
    std::vector<std::string> words = {"unshare", "--user", "--map-root-user", "--mount", "sh", "-c", script, folder};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&holder_, "unshare", nullptr, nullptr, argv.data(), environ) != 0) holder_ = -1;
    mounted_ =
        holder_ > 0 && WaitUntil([&] { return std::filesystem::exists(Inside("mounted")); }, std::chrono::seconds(10));
  }
  ~SmallDisk() {
    if (holder_ <= 0) return;
    kill(holder_, SIGKILL);
    waitpid(holder_, nullptr, 0);
  }
  bool mounted() const { return mounted_; }
  std::vector<std::string> Enter() const {
    return {"nsenter", "--target", std::to_string(holder_), "--user", "--mount"};
  }
  // Writes a file until the disk is full.
  void Fill() {
    int fd = open(Inside("filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::string block(65536, 'x');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    close(fd);
  }
  void Free() { std::filesystem::remove(Inside("filler")); }

 private:
  std::string Inside(const std::string& name) const {
    return "/proc/" + std::to_string(holder_) + "/root" + folder_ + "/" + name;
  }
  std::string folder_;
  pid_t holder_ = -1;
  bool mounted_ = false;
};

// The queue on a disk that fills up while clients send: writes fail, the
// API answers 503 and /metrics says so, nothing is sent twice; freed again,
// every message settles without a restart; full again and killed, the
// restart makes unknown what may have gone out, never queued.
TEST(DaemonCrash, AFullDiskLosesNothingAndSendsNothingTwice) {
  TempFolder place{"disk"};
  SmallDisk disk(place.path().string(), 8 << 20);
  if (!disk.mounted()) GTEST_SKIP() << "no user and mount namespace for a small tmpfs here";

  HttpPeer provider;
  provider.Answer(200, "ID: 1");
  WebhookReceiver hooks("hook-secret");
  DaemonSettings settings{ClickatellDocument({"api1", "user", "pw", "Shop"}, provider.base()), hooks.url()};
  settings.database = place.File("queue.db");
  settings.launcher = disk.Enter();
  DaemonProcess daemon(settings);
  ASSERT_TRUE(daemon.Start());
  auto storage_fails = [&] {
    auto res = daemon.Client().Get("/metrics");
    return res && res->body.find("talvenixd_storage_ok 0") != std::string::npos;
  };
  const int rounds = 5;
  Clients clients(daemon, 200 * rounds + 100, 4);
  for (int round = 0; round < rounds; ++round) {
    WaitUntil([&] { return clients.next_text >= 100 + 200 * round; }, std::chrono::seconds(120));
    disk.Fill();
    EXPECT_TRUE(WaitUntil(storage_fails)) << "round " << round;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const bool kill = round > 0;  // the first round settles without a restart
    if (kill) daemon.Kill();
    disk.Free();
    if (kill) {
      ASSERT_TRUE(daemon.Start());
    }
    EXPECT_TRUE(WaitUntil([&] { return !storage_fails(); })) << "round " << round;
  }
  clients.Join();
  ExpectNothingLostNothingTwice(daemon, provider, hooks, clients,
                                std::to_string(rounds) + " full disks, " + std::to_string(rounds - 1) + " kills");
  EXPECT_NE(daemon.folder().Read("daemon.err").find("talvenixd: the queue cannot write"), std::string::npos);
}

}  // namespace
}  // namespace talvenix::testing
