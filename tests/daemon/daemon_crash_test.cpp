// kill -9 of talvenixd while clients send through it to a provider: nothing
// accepted is lost, nothing reaches the provider twice, every outcome reaches
// the webhook receiver. TALVENIX_DAEMON_CRASH_FULL=1 runs 20 kills over 2,000
// sends and prints the figures; the default is 3 kills over 300.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <random>
#include <set>

#include "daemon/daemon_fixture.hpp"
#include "gateways/internet/clickatell_document.hpp"
#include "peers/http_peer.hpp"

namespace talvenix::testing {
namespace {

TEST(DaemonCrash, KilledAtRandomMomentsLosesNothingAndSendsNothingTwice) {
  const bool full = std::getenv("TALVENIX_DAEMON_CRASH_FULL") != nullptr;
  const int kills = full ? 20 : 3;
  const int sends = full ? 2000 : 300;
  const int clients = 4;

  HttpPeer provider;
  provider.Answer(200, "ID: 1");
  WebhookReceiver hooks("hook-secret");
  DaemonProcess daemon({ClickatellDocument({"api1", "user", "pw", "Shop"}, provider.base()), hooks.url()});
  ASSERT_TRUE(daemon.Start());

  // Every text is used once: a text the provider sees twice was sent twice.
  std::atomic<int> next_text{0}, attempts{0};
  std::mutex mutex;
  std::map<std::string, std::string> accepted;  // id -> text
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&] {
      while (true) {
        int n = next_text++;
        if (n >= sends) return;
        std::string text = "crash test " + std::to_string(n);
        std::string id = daemon.Send({{"to", "+15550100"}, {"text", text}});
        ++attempts;
        if (id.empty()) {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the daemon is down
          continue;
        }
        std::lock_guard lock(mutex);
        accepted[id] = text;
      }
    });
  std::mt19937 random(std::random_device{}());
  for (int k = 0; k < kills; ++k) {
    // A random moment within this kill's share of the sends.
    int at = sends * k / kills + static_cast<int>(random() % (sends / kills));
    WaitUntil([&] { return next_text >= at; }, std::chrono::seconds(120));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    daemon.Kill();
    ASSERT_TRUE(daemon.Start());
  }
  for (auto& t : threads) t.join();

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

  std::set<std::string> reported;
  EXPECT_TRUE(WaitUntil(
      [&] {
        for (const json& e : hooks.events("message.outcome")) reported.insert(e["message_id"]);
        // Counting is not enough: a kill between commit and 202 leaves
        // messages the clients never heard of, and they report too.
        for (const auto& [id, text] : accepted)
          if (!reported.count(id)) return false;
        return true;
      },
      std::chrono::seconds(60)));
  for (const auto& [id, text] : accepted) EXPECT_TRUE(reported.count(id)) << "no outcome event for " << id;
  EXPECT_EQ(hooks.bad_signatures(), 0);

  // An unknown message goes out again only when asked.
  for (const auto& [id, text] : accepted) {
    if (daemon.State(id) != "unknown") continue;
    auto res = daemon.Client().Post("/v1/messages/" + id + "/retry");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 202);
    EXPECT_TRUE(WaitUntil([&] { return daemon.State(id) == "sent"; }));
    break;
  }
  std::printf("%d kills, %d sends tried, %zu accepted: %d sent, %d failed, %d unknown; provider got %zu\n", kills,
              attempts.load(), accepted.size(), by_state["sent"], by_state["failed"], by_state["unknown"],
              at_provider.size());
}

}  // namespace
}  // namespace talvenix::testing
