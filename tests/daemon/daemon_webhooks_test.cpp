// SPDX-License-Identifier: Apache-2.0
// talvenixd's webhooks against hostile clients and receivers: URLs that are
// none, receivers on the machine itself, a receiver that never answers.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sqlite3.h>

#include <atomic>

#include "daemon/address_policy.hpp"
#include "daemon/daemon_fixture.hpp"

namespace talvenix::testing {
namespace {

// A receiver that accepts connections, reads what comes and never answers.
// Counts the connections open at once and the ones the daemon gave up.
class SilentReceiver {
 public:
  SilentReceiver() {
    listener_ = ListenOnLoopback(port_, 64);
    thread_ = std::thread([this] { Serve(); });
  }
  ~SilentReceiver() {
    stop_ = true;
    thread_.join();
    for (pollfd& p : fds_) close(p.fd);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/silent"; }
  int most_open() const { return most_open_; }
  int closed() const { return closed_; }
  int accepted() const { return accepted_; }

 private:
  void Serve() {
    fds_.push_back({listener_, POLLIN, 0});
    while (!stop_) {
      if (poll(fds_.data(), fds_.size(), 20) <= 0) continue;
      for (size_t i = fds_.size(); i-- > 1;) {
        if (!fds_[i].revents) continue;
        char buffer[4096];
        if (read(fds_[i].fd, buffer, sizeof buffer) <= 0) {
          close(fds_[i].fd);
          fds_.erase(fds_.begin() + static_cast<long>(i));
          ++closed_;
        }
      }
      if (fds_[0].revents & POLLIN) {
        fds_.push_back({accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC), POLLIN, 0});
        ++accepted_;
      }
      most_open_ = std::max(most_open_.load(), static_cast<int>(fds_.size()) - 1);
    }
  }
  int listener_ = -1, port_ = 0;
  std::vector<pollfd> fds_;
  std::atomic<bool> stop_{false};
  std::atomic<int> most_open_{0}, closed_{0}, accepted_{0};
  std::thread thread_;
};

std::string WebhookState(const DaemonProcess& daemon, const std::string& event_id) {
  sqlite3* db = nullptr;
  std::string state;
  if (sqlite3_open_v2(daemon.folder().File("queue.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT state FROM webhooks WHERE event_id=?", -1, &s, nullptr);
    sqlite3_bind_text(s, 1, event_id.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(s) == SQLITE_ROW) state = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return state;
}

int PostStatus(const DaemonProcess& daemon, const std::string& callback_url) {
  auto res = daemon.Client().Post(
      "/v1/messages", json{{"to", "+15550100"}, {"text", "hi"}, {"callback_url", callback_url}}.dump(),
      "application/json");
  return res ? res->status : 0;
}

TEST(DaemonWebhooks, AReceiverUrlIsCheckedWholeAndABadStoredOneFailsAlone) {
  WebhookReceiver hooks("hook-secret");
  DaemonProcess daemon({NullGatewayDocument(), hooks.url()});
  ASSERT_TRUE(daemon.Start());
  for (const char* url : {"http://127.0.0.1:99999999999/x", "http://127.0.0.1:0/x", "http://user:pw@127.0.0.1:8/x",
                          "http:///x", "https://", "http://exa mple/", "gopher://127.0.0.1/"})
    EXPECT_EQ(PostStatus(daemon, url), 400) << url;
  auto kannel = httplib::Client("127.0.0.1", daemon.port())
                    .Get("/cgi-bin/sendsms?username=u&password=" + std::string(kApiKey) +
                         "&to=15550102&text=x&dlr-url=http%3A%2F%2F127.0.0.1%3A99999999999%2Fd");
  ASSERT_TRUE(kannel);
  EXPECT_EQ(kannel->status, 400);

  // An event stored before these checks, with such a URL, fails by itself:
  // the daemon stays up and delivers the others.
  daemon.Terminate();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(daemon.folder().File("queue.db").c_str(), &db), SQLITE_OK);
  const std::string now = std::to_string(daemon::NowMs());
  ASSERT_EQ(sqlite3_exec(db,
                         ("INSERT INTO webhooks(event_id, method, url, body, created_ms, next_ms) VALUES"
                          "('stored-bad', 'POST', 'http://127.0.0.1:99999999999/x', '{}', " +
                          now + ", " + now + ")")
                             .c_str(),
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  ASSERT_TRUE(daemon.Start());
  EXPECT_TRUE(WaitUntil([&] { return WebhookState(daemon, "stored-bad") == "failed"; }));
  std::string id = daemon.Send({{"to", "+15550100"}, {"text", "after"}});
  ASSERT_FALSE(id.empty());
  EXPECT_TRUE(WaitUntil([&] {
    for (const json& e : hooks.events("message.outcome"))
      if (e["message_id"] == id) return true;
    return false;
  }));
  EXPECT_NE(daemon.folder().Read("daemon.err").find("stored-bad attempt 1 failed: not a receiver's URL"),
            std::string::npos);
}

// By default no webhook goes to the machine itself or its networks: refused
// at the API when the URL names the address, and when a name resolves to it
// (checked on the address connected to), the event fails without a request.
TEST(DaemonWebhooks, ReceiversOnTheMachineOrItsNetworksAreRefusedUnlessAllowed) {
  WebhookReceiver hooks("hook-secret");
  DaemonSettings settings{NullGatewayDocument(), ""};
  settings.webhook_allow = "";
  DaemonProcess daemon(settings);
  ASSERT_TRUE(daemon.Start());
  const std::string port = hooks.url().substr(hooks.url().rfind(':'));
  for (std::string host : {"127.0.0.1", "[::1]", "169.254.169.254", "10.1.2.3", "0x7f000001", "[::ffff:127.0.0.1]",
                           "0.0.0.0", "[fe80::1]", "224.0.0.1"})
    EXPECT_EQ(PostStatus(daemon, "http://" + host + port), 400) << host;

  std::string id = daemon.Send({{"to", "+15550100"}, {"text", "hi"}, {"callback_url", "http://localhost" + port}});
  ASSERT_FALSE(id.empty());
  EXPECT_TRUE(WaitUntil([&] { return daemon.folder().Read("daemon.err").find("refused by the webhook policy") !=
                                     std::string::npos; }));
  EXPECT_TRUE(hooks.events().empty());

  // An operator's own network is allowed by name.
  settings.webhook_allow = "127.0.0.0/8, ::1";
  DaemonProcess allowed(settings);
  ASSERT_TRUE(allowed.Start());
  id = allowed.Send({{"to", "+15550100"}, {"text", "hi"}, {"callback_url", hooks.url("/mine")}});
  ASSERT_FALSE(id.empty());
  EXPECT_TRUE(WaitUntil([&] { return !hooks.events("message.outcome").empty(); }));
}

// A receiver that never answers holds only its own events, and only as many
// connections as one receiver may have; the others' events go on meanwhile.
TEST(DaemonWebhooks, AReceiverThatNeverAnswersHoldsUpOnlyItsOwnEvents) {
  SilentReceiver silent;
  WebhookReceiver hooks("hook-secret");
  DaemonSettings settings{NullGatewayDocument(), silent.url()};
  settings.more_ini = "[webhook]\ntimeout_seconds = 120\nper_receiver = 3\n";
  DaemonProcess daemon(settings);
  ASSERT_TRUE(daemon.Start());
  for (int i = 0; i < 20; ++i) ASSERT_FALSE(daemon.Send({{"to", "+15550100"}, {"text", "to nobody"}}).empty());
  ASSERT_TRUE(WaitUntil([&] { return silent.accepted() >= 3; }));

  std::string id = daemon.Send({{"to", "+15550101"}, {"text", "to a receiver"}, {"callback_url", hooks.url()}});
  ASSERT_FALSE(id.empty());
  EXPECT_TRUE(WaitUntil([&] { return !hooks.events("message.outcome").empty(); }));
  // Still waiting on the silent receiver, which never had more than its share.
  EXPECT_EQ(silent.closed(), 0);
  EXPECT_EQ(silent.most_open(), 3);
}

TEST(AddressPolicy, RefusesTheMachinesOwnAndPrivateAddressesButWhatIsAllowed) {
  daemon::AddressPolicy policy;
  for (const char* host : {"127.0.0.1", "10.0.0.1", "172.31.255.255", "192.168.1.1", "169.254.169.254", "100.64.0.1",
                           "0.1.2.3", "255.255.255.255", "::1", "::", "fd00::1", "fe80::1", "ff02::1",
                           "::ffff:192.168.0.1", "64:ff9b::a00:1"})
    EXPECT_NE(policy.RefusalOfLiteral(host), "") << host;
  for (const char* host : {"8.8.8.8", "172.32.0.1", "2001:4860:4860::8888", "example.com", "::ffff:8.8.8.8"})
    EXPECT_EQ(policy.RefusalOfLiteral(host), "") << host;
  ASSERT_TRUE(policy.Allow("10.20.0.0/16"));
  EXPECT_EQ(policy.RefusalOfLiteral("10.20.3.4"), "");
  EXPECT_NE(policy.RefusalOfLiteral("10.21.3.4"), "");
  for (const char* bad : {"10.0.0.0/33", "10.0.0.0/", "host.example", "::1/129", "10.0.0.0/8x"})
    EXPECT_FALSE(policy.Allow(bad)) << bad;
}

}  // namespace
}  // namespace talvenix::testing
