// SPDX-License-Identifier: Apache-2.0
// Three talvenixd on one PostgreSQL queue, two sending to a provider and one
// to a simulated modem line, while clients send through all three: kill -9
// of a daemon at random and a crash of the server itself lose nothing, send
// nothing twice, and every outcome reaches the webhook receiver; status
// reports find their message whichever daemon sent it.
// TALVENIX_DAEMON_CRASH_FULL=1 runs 20 kills over 3,000 sends; the default
// is 6 kills over 600.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <random>

#include "common/postgresql_server.hpp"
#include "daemon/daemon_fixture.hpp"
#include "gateways/internet/clickatell_document.hpp"
#include "gateways/modem/gsm_document.hpp"
#include "peers/http_peer.hpp"

namespace talvenix::testing {
namespace {

// One daemon of the fleet: its gateway's document and the group it sends for.
struct Member {
  std::unique_ptr<DaemonProcess> process;
  bool modem = false;
  bool Start() {
    if (!modem) return process->Start();
    setenv("TALVENIX_GSM_DRIVER", TALVENIX_GSMSIM_PATH, 1);
    setenv("GSMSIM_DEMO", "1", 1);  // a status report after every send
    bool started = process->Start();
    unsetenv("TALVENIX_GSM_DRIVER");
    unsetenv("GSMSIM_DEMO");
    return started;
  }
};

TEST(DaemonFleet, KillsOfDaemonsAndOfTheServerLoseNothingAndSendNothingTwice) {
  std::string why;
  PostgresqlServer* server = PostgresqlServer::Shared(why);
  if (!server) {
    if (!PostgresqlServer::Installed()) GTEST_SKIP() << why;
    FAIL() << why;
  }
  const bool full = std::getenv("TALVENIX_DAEMON_CRASH_FULL") != nullptr;
  const int kills = full ? 20 : 6, sends = full ? 3000 : 600, clients = 16;
  const std::string connection = server->NewDatabase();

  HttpPeer provider;
  provider.AnswerAfter(std::chrono::milliseconds(2));
  WebhookReceiver hooks("hook-secret");
  std::vector<Member> fleet;
  for (int i = 0; i < 3; ++i) {
    const bool modem = i == 2;
    DaemonSettings settings{modem ? GsmDocument({DocumentLine(3, 9600, "North")})
                                  : ClickatellDocument({"api1", "user", "pw", "Shop"}, provider.base()),
                            hooks.url()};
    settings.more_ini = "[queue]\nbackend = postgresql\npostgresql = " + connection + "\nname = d" + std::to_string(i) +
                        "\ngroup = " + (modem ? "modem" : "http") + "\nparallel = 4\nlease_seconds = 15\n";
    fleet.push_back({std::make_unique<DaemonProcess>(settings), modem});
    ASSERT_TRUE(fleet.back().Start()) << fleet.back().process->folder().Read("daemon.err");
  }

  // Clients send numbered texts, each once, through the daemons in turn;
  // one in six is for the modem line. A daemon that is down gets nothing,
  // so the text goes to the next one; any other failure may have been
  // taken, and is not sent again.
  std::atomic<int> next_text{0}, attempts{0};
  std::mutex mutex;
  std::map<std::string, std::string> accepted;  // id -> text
  std::map<std::string, int> refusals;          // why a send was not taken -> how often
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&, c] {
      for (int n; (n = next_text++) < sends;) {
        const std::string text = "fleet " + std::to_string(n);
        const json message{{"to", "+15550100"}, {"text", text}, {"group", n % 6 == 0 ? "modem" : "http"}};
        for (int tries = 0;; ++tries) {
          auto res =
              fleet[(c + n + tries) % 3].process->Client().Post("/v1/messages", message.dump(), "application/json");
          ++attempts;
          std::lock_guard lock(mutex);
          if (res && res->status == 202) {
            accepted[json::parse(res->body).at("id").get<std::string>()] = text;
          } else {
            ++refusals[res ? std::to_string(res->status) + " " + res->body.substr(0, 80)
                           : httplib::to_string(res.error())];
            if (!res && res.error() == httplib::Error::Connection && tries < 20) continue;
          }
          break;
        }
      }
    });
  std::mt19937 random(std::random_device{}());
  // The kills, and the server's crash halfway through them.
  for (int k = 0; k <= kills; ++k) {
    const int at = sends * k / (kills + 1) + static_cast<int>(random() % (sends / (kills + 1)));
    WaitUntil([&] { return next_text >= at; }, std::chrono::seconds(120));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    if (k == kills / 2) {
      server->Kill();  // the server crashes, and is back a moment later
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      server->Start();
      continue;
    }
    Member& victim = fleet[random() % 3];
    victim.process->Kill();
    ASSERT_TRUE(victim.Start()) << victim.process->folder().Read("daemon.err");
  }
  for (auto& t : threads) t.join();

  // Every accepted message settles, seen through any daemon.
  std::map<std::string, std::string> states;
  WaitUntil(
      [&] {
        bool all = true;
        for (const auto& [id, text] : accepted)
          if (!IsFinal(states[id])) all = IsFinal(states[id] = fleet[0].process->State(id)) && all;
        return all;
      },
      std::chrono::seconds(120));
  if (::testing::Test::HasFailure() || states.size() != accepted.size() ||
      std::any_of(states.begin(), states.end(), [](const auto& s) { return !IsFinal(s.second); }))
    for (Member& m : fleet) std::printf("--- %s\n", m.process->folder().Read("daemon.err").c_str());
  std::map<std::string, int> by_state;
  for (const auto& [id, state] : states) {
    EXPECT_TRUE(IsFinal(state)) << id << " (" << accepted[id] << ") is " << state;
    ++by_state[state];
  }
  std::map<std::string, int> at_provider;
  for (const RecordedRequest& r : provider.requests()) ++at_provider[r.params.find("text")->second];
  for (const auto& [text, count] : at_provider) EXPECT_EQ(count, 1) << text << " reached the provider twice";
  for (const auto& [id, text] : accepted) {
    if (fleet[0].process->State(id) == "sent" && text.find("fleet ") == 0 && std::stoi(text.substr(6)) % 6 != 0) {
      EXPECT_EQ(at_provider[text], 1) << id << " is sent but the provider lacks it";
    }
  }
  for (const std::string& id : hooks.WithoutOutcome(accepted)) ADD_FAILURE() << "no outcome event for " << id;
  EXPECT_EQ(hooks.bad_signatures(), 0);
  // The modem line's reports were tied to their messages, whichever daemon took them in.
  int tied = 0;
  for (const json& e : hooks.events("message.status_report")) tied += e.contains("message_id") ? 1 : 0;
  EXPECT_GT(tied, 0);
  std::printf(
      "%d kills and a server crash, %d sends tried, %zu accepted: %d sent, %d failed, %d unknown; provider got "
      "%zu, %d reports tied\n",
      kills, attempts.load(), accepted.size(), by_state["sent"], by_state["failed"], by_state["unknown"],
      at_provider.size(), tied);
  for (const auto& [why, count] : refusals) std::printf("  %d refused: %s\n", count, why.c_str());
  // The status page shows the fleet.
  auto page = fleet[1].process->Client().Get("/");
  ASSERT_TRUE(page) << httplib::to_string(page.error()) << "\n" << fleet[1].process->folder().Read("daemon.err");
  for (const char* name : {">d0<", ">d1<", ">d2<"}) EXPECT_NE(page->body.find(name), std::string::npos) << name;
}

}  // namespace
}  // namespace talvenix::testing
