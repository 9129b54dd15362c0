// SPDX-License-Identifier: Apache-2.0
// talvenixd end to end: a real daemon process, the real module, real peers.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/un.h>

#include <fstream>
#include <sstream>

#include "daemon/daemon_fixture.hpp"
#include "gateways/internet/clickatell_document.hpp"
#include "gateways/modem/gsm_document.hpp"
#include "peers/http_peer.hpp"

namespace talvenix::testing {
namespace {

// What a command prints.
std::string Output(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  pclose(pipe);
  return out;
}

TEST(DaemonNullGateway, SendsRecordsEveryStateAndSignsEveryWebhook) {
  WebhookReceiver hooks("hook-secret");
  DaemonProcess daemon({NullGatewayDocument(), hooks.url()});
  ASSERT_TRUE(daemon.Start());

  std::string id = daemon.Send({{"to", "+15550100"}, {"text", "hello"}, {"client_ref", "order-7"}});
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(WaitUntil([&] { return daemon.State(id) == "sent"; }));
  json m = daemon.Get(id);
  EXPECT_EQ(m["to"], "+15550100");
  EXPECT_EQ(m["code"], 0);
  std::vector<std::string> states;
  for (const json& e : m["events"]) states.push_back(e["state"]);
  EXPECT_EQ(states, (std::vector<std::string>{"queued", "sending", "sent"}));

  // The outcome and the null gateway's incoming messages reach the receiver, signed.
  ASSERT_TRUE(
      WaitUntil([&] { return !hooks.events("message.outcome").empty() && !hooks.events("message.received").empty(); }));
  json outcome = hooks.events("message.outcome").at(0);
  EXPECT_EQ(outcome["message_id"], id);
  EXPECT_EQ(outcome["client_ref"], "order-7");
  EXPECT_EQ(outcome["state"], "sent");
  EXPECT_EQ(outcome["event_id"].get<std::string>().size(), 32u);
  EXPECT_EQ(hooks.bad_signatures(), 0);

  // A retry is only for messages whose outcome is unknown or a failure.
  auto retry = daemon.Client().Post("/v1/messages/" + id + "/retry");
  ASSERT_TRUE(retry);
  EXPECT_EQ(retry->status, 409);

  daemon.Terminate();
  EXPECT_EQ(daemon.folder().Read("daemon.err").find(kApiKey), std::string::npos);
  EXPECT_EQ(daemon.folder().Read("Talvenix.log").find(kApiKey), std::string::npos);
}

TEST(DaemonNullGateway, RefusesBadInputNamingTheFieldAndWrongKeys) {
  DaemonSettings settings{NullGatewayDocument(), ""};
  settings.more_ini = "[api]\nmax_recipients = 3\n";
  DaemonProcess daemon(settings);
  ASSERT_TRUE(daemon.Start());
  auto post = [&](const std::string& body) {
    auto res = daemon.Client().Post("/v1/messages", body, "application/json");
    return res ? std::pair{res->status, json::parse(res->body, nullptr, false)} : std::pair{0, json()};
  };
  const std::pair<const char*, const char*> cases[] = {
      {R"({"text":"hi"})", "to"},
      {R"({"to":"+1555abc","text":"hi"})", "to"},
      {R"({"to":"+15550100","text":""})", "text"},
      {R"({"to":"+15550100","text":7})", "text"},
      {R"({"to":"+15550100","text":"cut\u0000here"})", "text"},
      {R"({"to":"+15550100","text":"hi","coding":2})", "coding"},
      {R"({"to":"+15550100","text":"hi","priority":4})", "priority"},
      {R"({"to":"+15550100","text":"hi","send_at":"tomorrow"})", "send_at"},
      {R"({"to":"+15550100","text":"hi","send_at":"2026-02-29T00:00:00Z"})", "send_at"},
      {R"({"to":"+15550100","text":"hi","valid_until":"2020-01-01T00:00:00Z"})", "valid_until"},
      {R"({"to":"+15550100","text":"hi","send_at":"2099-01-01T00:00:00Z"})", "send_at"},
      {R"({"to":"+15550100","text":"hi","validity":0})", "validity"},
      {R"({"to":"+15550100","text":"hi","validity":5,"valid_until":"2099-01-01T00:00:00Z"})", "validity"},
      {R"({"to":["+15550100","12"],"text":"hi"})", "to[1]"},
      {R"({"to":[],"text":"hi"})", "to"},
      {R"({"to":["+15550100","+15550101","+15550102","+15550103"],"text":"hi"})", "to"},
      {R"({"to":"+15550100","text":"hi","from":"a\nb"})", "from"},
      {R"({"to":"+15550100","text":"hi","callback_url":"ftp://x/"})", "callback_url"},
      {R"(["to"])", "body"},
      {"not json", "body"},
  };
  for (auto [body, field] : cases) {
    auto [status, answer] = post(body);
    EXPECT_EQ(status, 400) << body;
    EXPECT_EQ(answer.value("field", ""), field) << body;
  }
  EXPECT_EQ(post(R"({"to":"+15550100","text":")" + std::string(1601, 'x') + "\"}").second.value("field", ""), "text");
  // The example's three parts of 160 (70 in UTF-16): more would be cut without a word.
  auto long_text = [&](const std::string& unit, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += unit;
    return post(R"({"to":"+15550100","text":")" + text + "\"}");
  };
  EXPECT_EQ(long_text("x", 480).first, 202);
  auto [status, answer] = long_text("x", 481);
  EXPECT_EQ(status, 422);
  EXPECT_EQ(answer.value("error", ""), "text needs 4 parts, maxsmssplit is 3");
  EXPECT_EQ(long_text("\u00e9", 211).second.value("error", ""), "text needs 4 parts, maxsmssplit is 3");

  httplib::Client wrong("127.0.0.1", daemon.port());
  wrong.set_bearer_token_auth("not-the-key");
  auto res = wrong.Post("/v1/messages", R"({"to":"+15550100","text":"hi"})", "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 401);
  res = httplib::Client("127.0.0.1", daemon.port()).Get("/cgi-bin/sendsms?username=u&password=nope&to=123&text=x");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 403);
  EXPECT_EQ(res->body, "Authorization failed for sendsms");
  // None of the refused requests left a message.
  res = daemon.Client().Get("/metrics");
  ASSERT_TRUE(res);
  EXPECT_NE(res->body.find("talvenixd_accepted_total 1\n"), std::string::npos) << res->body;

  // A body counts against the 64 KiB limit however it comes: in chunks
  // (read until the limit, not to its end), or compressed (never inflated).
  // The client writes on after the answer: its socket may be closed under it.
  signal(SIGPIPE, SIG_IGN);
  size_t offered = 0;
  const std::string megabyte(1 << 20, ' ');
  res = daemon.Client().Post(
      "/v1/messages",
      [&](size_t, httplib::DataSink& sink) {
        offered += megabyte.size();
        return offered <= (100u << 20) && sink.write(megabyte.data(), megabyte.size());
      },
      "application/json");
  EXPECT_TRUE(!res || res->status == 413) << "a chunked body over the limit was taken";
  EXPECT_LT(offered, 100u << 20) << "the daemon read a 100 MB chunked body to its end";
  httplib::Headers gzip{{"Content-Encoding", "gzip"}};
  res = daemon.Client().Post("/v1/messages", gzip, std::string("\x1f\x8b\x08\0\0\0\0\0", 8), "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 415);
}

// The status page and /metrics show the lines and the last errors: they
// need an API key or a read-only status key, unless they are declared open.
TEST(DaemonNullGateway, StatusPageAndMetricsAskForAKeyUnlessOpen) {
  DaemonSettings settings{NullGatewayDocument(), ""};
  settings.more_ini = "[status]\nkey_sha256 = " + daemon::Sha256Hex("scraper-key") + "\n";
  DaemonProcess daemon(settings);
  ASSERT_TRUE(daemon.Start());
  auto status = [&](const char* path, const std::function<void(httplib::Client&)>& login) {
    httplib::Client c("127.0.0.1", daemon.port());
    login(c);
    auto res = c.Get(path);
    return res ? res->status : 0;
  };
  for (const char* path : {"/", "/metrics"}) {
    EXPECT_EQ(status(path, [](httplib::Client&) {}), 401) << path;
    EXPECT_EQ(status(path, [](httplib::Client& c) { c.set_bearer_token_auth("wrong"); }), 401) << path;
    EXPECT_EQ(status(path, [](httplib::Client& c) { c.set_bearer_token_auth("scraper-key"); }), 200) << path;
    EXPECT_EQ(status(path, [](httplib::Client& c) { c.set_basic_auth("anyone", kApiKey); }), 200) << path;
  }
  auto page = httplib::Client("127.0.0.1", daemon.port()).Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->get_header_value("WWW-Authenticate").rfind("Basic ", 0), 0u) << "a browser asks for the key";
  httplib::Client scraper("127.0.0.1", daemon.port());
  scraper.set_bearer_token_auth("scraper-key");
  auto post = scraper.Post("/v1/messages", R"({"to":"+15550100","text":"hi"})", "application/json");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 401) << "a status key cannot send";

  DaemonSettings open_settings{NullGatewayDocument(), ""};
  open_settings.more_ini = "[status]\nopen = yes\n";
  DaemonProcess open(open_settings);
  ASSERT_TRUE(open.Start());
  auto metrics = httplib::Client("127.0.0.1", open.port()).Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200);
}

TEST(DaemonNullGateway, StopKeepsQueuedMessagesAndTheNextStartSendsThem) {
  DaemonSettings settings{NullGatewayDocument(), ""};
  settings.messages_per_second = 4;  // slow enough that most wait in the queue
  DaemonProcess daemon(settings);
  ASSERT_TRUE(daemon.Start());
  std::vector<std::string> ids;
  for (int i = 0; i < 8; ++i) ids.push_back(daemon.Send({{"to", "+15550100"}, {"text", "m" + std::to_string(i)}}));
  ASSERT_TRUE(daemon.Terminate());
  ASSERT_TRUE(daemon.Start());
  int queued = 0;
  for (const std::string& id : ids) {
    ASSERT_FALSE(id.empty());
    queued += daemon.State(id) == "queued";
  }
  EXPECT_GT(queued, 0) << "the test needs messages still queued at the stop";
  // A stop that finished the send in hand leaves nothing unknown.
  for (const std::string& id : ids) EXPECT_TRUE(WaitUntil([&] { return daemon.State(id) == "sent"; })) << id;
}

TEST(DaemonProvider, SendsThroughTheProviderAndCallsKannelDeliveryUrls) {
  HttpPeer provider;
  provider.Answer(200, "ID: 77");
  WebhookReceiver hooks("hook-secret");
  DaemonProcess daemon({ClickatellDocument({"api1", "user", "pw", "Shop"}, provider.base()), hooks.url()});
  ASSERT_TRUE(daemon.Start());

  // The provider sends with the account's sender ("Shop"): a sender of the request's would be dropped.
  auto with_from = httplib::Client("127.0.0.1", daemon.port())
                       .Post("/v1/messages", {{"Authorization", std::string("Bearer ") + kApiKey}},
                             R"({"to":"+15550101","text":"hi","from":"Other"})", "application/json");
  ASSERT_TRUE(with_from);
  EXPECT_EQ(with_from->status, 400);
  EXPECT_EQ(json::parse(with_from->body).value("field", ""), "from");

  std::string id = daemon.Send({{"to", "+15550101"}, {"text", "über 1"}, {"callback_url", hooks.url("/mine")}});
  ASSERT_TRUE(WaitUntil([&] { return daemon.State(id) == "sent"; }));
  ASSERT_EQ(provider.requests().size(), 1u);
  EXPECT_EQ(provider.requests()[0].params.find("text")->second, "über 1");

  auto res = httplib::Client("127.0.0.1", daemon.port())
                 .Get("/cgi-bin/sendsms?username=u&password=" + std::string(kApiKey) +
                      "&to=15550102&text=kannel+2&dlr-mask=8&dlr-url=" +
                      httplib::detail::encode_query_param(hooks.url("/dlr?type=%d&to=%P")));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 202);
  EXPECT_EQ(res->body, "0: Accepted for delivery");
  ASSERT_TRUE(WaitUntil([&] { return !hooks.gets().empty(); }));
  EXPECT_EQ(hooks.gets().at(0), "/dlr?type=8&to=15550102");
  EXPECT_EQ(provider.requests().size(), 2u);
  res = httplib::Client("127.0.0.1", daemon.port())
            .Get("/cgi-bin/sendsms?username=u&password=" + std::string(kApiKey) + "&to=15550102&text=x&dlr-url=" +
                 httplib::detail::encode_query_param(hooks.url("/d")) + "&dlr-mask=99");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 400);
  EXPECT_EQ(res->body, "DLR-Mask field misformed, rejected");
}

// The provider's round trip no longer bounds the rate: up to [queue] parallel
// sends overlap, never more, and a reload takes a new number.
TEST(DaemonProvider, SendsUpToParallelAtOnceAndAReloadChangesHowMany) {
  HttpPeer provider;
  provider.AnswerAfter(std::chrono::milliseconds(40));
  DaemonSettings settings{ClickatellDocument({"api1", "user", "pw", "Shop"}, provider.base()), ""};
  settings.more_ini = "[queue]\nparallel = 4\n";
  DaemonProcess daemon(settings);
  ASSERT_TRUE(daemon.Start());
  auto send_all = [&](int count) {
    std::vector<std::string> ids;
    for (int i = 0; i < count; ++i) ids.push_back(daemon.Send({{"to", "+15550100"}, {"text", std::to_string(i)}}));
    for (const std::string& id : ids) EXPECT_TRUE(WaitUntil([&] { return daemon.State(id) == "sent"; })) << id;
  };
  send_all(40);
  EXPECT_EQ(provider.most_at_once(), 4);

  const std::string ini = daemon.folder().Read("talvenixd.ini");
  daemon.folder().Write("talvenixd.ini", ini + "[queue]\nparallel = 1\n");
  daemon.Signal(SIGHUP);
  ASSERT_TRUE(
      WaitUntil([&] { return daemon.folder().Read("daemon.err").find("talvenixd.ini re-read") != std::string::npos; }));
  provider.ForgetMostAtOnce();
  send_all(12);
  EXPECT_EQ(provider.most_at_once(), 1);
}

TEST(DaemonProvider, RetriesAWebhookTheReceiverRefused) {
  HttpPeer provider;
  provider.Answer(200, "ID: 78");
  WebhookReceiver hooks("hook-secret");
  hooks.FailNext(1);
  DaemonProcess daemon({ClickatellDocument({"api1", "user", "pw", "Shop"}, provider.base()), hooks.url()});
  ASSERT_TRUE(daemon.Start());
  std::string id = daemon.Send({{"to", "+15550101"}, {"text", "again"}});
  // The first attempt is refused; the next, a second later, arrives.
  ASSERT_TRUE(WaitUntil([&] { return hooks.events("message.outcome").size() == 1; }));
  EXPECT_EQ(hooks.events("message.outcome")[0]["message_id"], id);
}

TEST(DaemonProvider, ReloadRestartsTheEngineOnANewGatewayWithoutLosingMessages) {
  HttpPeer provider;
  provider.Answer(200, "ID: 79");
  DaemonSettings settings{ClickatellDocument({"api1", "user", "pw", "Shop"}, provider.base()), ""};
  settings.messages_per_second = 5;
  DaemonProcess daemon(settings);
  ASSERT_TRUE(daemon.Start());
  std::string first = daemon.Send({{"to", "+15550101"}, {"text", "before"}});
  ASSERT_TRUE(WaitUntil([&] { return daemon.State(first) == "sent"; }));
  std::vector<std::string> queued;
  for (int i = 0; i < 6; ++i) queued.push_back(daemon.Send({{"to", "+15550101"}, {"text", "after"}}));

  // Another gateway: Update answers 124 and the engine starts again on it.
  daemon.folder().Write("qvsmscomms.xml", NullGatewayDocument());
  daemon.Signal(SIGHUP);
  ASSERT_TRUE(WaitUntil([&] {
    auto page = daemon.Client().Get("/");
    return page && page->body.find(">Null gateway<") != std::string::npos;
  }));
  for (const std::string& id : queued) EXPECT_TRUE(WaitUntil([&] { return daemon.State(id) == "sent"; })) << id;
  EXPECT_LT(provider.requests().size(), 1u + queued.size()) << "the rest went through the null gateway";
  EXPECT_NE(daemon.folder().Read("daemon.err").find("124"), std::string::npos);
}

// What the daemon tells systemd, read from a NOTIFY_SOCKET of the test's own
// as it comes, one line a message field.
class NotifySocket {
 public:
  NotifySocket() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind failed");
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buffer[4096];
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        std::istringstream lines(std::string(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0))));
        std::lock_guard lock(mutex_);
        for (std::string line; std::getline(lines, line);) said_.push_back(line);
      }
    });
  }
  ~NotifySocket() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  const std::string& path() const { return path_; }
  // How many times the daemon said exactly `line`.
  size_t Count(const std::string& line) {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count(said_.begin(), said_.end(), line));
  }
  // Whether a line holding `wanted` came within 20 s.
  bool WaitFor(const std::string& wanted) {
    return WaitUntil(
        [&] {
          std::lock_guard lock(mutex_);
          for (const std::string& line : said_)
            if (line.find(wanted) != std::string::npos) return true;
          return false;
        },
        std::chrono::seconds(20));
  }

 private:
  TempFolder folder_{"notify"};
  std::string path_ = folder_.File("notify");
  int fd_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> said_;
  std::thread thread_;
};

// Starts the daemon as systemd would, with a watchdog of one second.
bool StartWatched(DaemonProcess& daemon, const NotifySocket& notify) {
  setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);
  setenv("WATCHDOG_USEC", "1000000", 1);
  bool started = daemon.Start();
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  return started;
}

TEST(DaemonNullGateway, TellsSystemdWhenReadyAliveAndStopping) {
  NotifySocket notify;
  DaemonProcess daemon({NullGatewayDocument(), ""});
  ASSERT_TRUE(StartWatched(daemon, notify));
  EXPECT_TRUE(notify.WaitFor("READY=1"));
  EXPECT_TRUE(notify.WaitFor("STATUS=listening on 127.0.0.1:" + std::to_string(daemon.port()) + "; queued 0"));
  EXPECT_TRUE(notify.WaitFor("WATCHDOG=1"));
  daemon.Signal(SIGTERM);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1"));
  EXPECT_TRUE(daemon.Terminate());
}

// A daemon on one simulated modem line (COM3) whose driver behaves as
// GSMSIM_DEMO asks: a greeting, and a status report after every send.
bool StartOnSimulatedModem(DaemonProcess& daemon, const char* demo) {
  setenv("TALVENIX_GSM_DRIVER", TALVENIX_GSMSIM_PATH, 1);
  setenv("GSMSIM_DEMO", demo, 1);
  bool started = daemon.Start();
  unsetenv("TALVENIX_GSM_DRIVER");
  unsetenv("GSMSIM_DEMO");
  return started;
}

TEST(DaemonModem, IncomingMessagesStatusReportsAndLineStatesOfTheSimulator) {
  WebhookReceiver hooks("hook-secret");
  DaemonProcess daemon({GsmDocument({DocumentLine(3, 9600, "North")}), hooks.url()});
  ASSERT_TRUE(StartOnSimulatedModem(daemon, "1"));

  ASSERT_TRUE(WaitUntil([&] { return !hooks.events("message.received").empty(); }));
  EXPECT_FALSE(hooks.events("message.received")[0].value("text", "").empty());
  auto page = daemon.Client().Get("/");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("id=\"line-3\">ready<"), std::string::npos);

  // The status report reaches the message's own receiver, tied to it, and
  // shows among its states.
  std::string id = daemon.Send(
      {{"to", "+15550103"}, {"text", "via modem"}, {"client_ref", "order-9"}, {"callback_url", hooks.url("/mine")}});
  ASSERT_TRUE(WaitUntil([&] { return !hooks.events("message.status_report").empty(); }));
  json report = hooks.events("message.status_report").at(0);
  EXPECT_EQ(report["path"], "/mine");
  EXPECT_EQ(report["message_id"], id);
  EXPECT_EQ(report["client_ref"], "order-9");
  EXPECT_EQ(report["delivery"], "delivered");
  EXPECT_EQ(report["line"], 3);
  EXPECT_EQ(report["part"], 1);
  std::vector<std::string> states;
  json m = daemon.Get(id);
  for (const json& e : m["events"]) states.push_back(e["state"]);
  EXPECT_EQ(states, (std::vector<std::string>{"queued", "sending", "pending", "sent", "status_report"}));
  EXPECT_EQ(m["events"].back().value("delivery", ""), "delivered");
  EXPECT_EQ(m["events"].back().value("parts", 0), 1);

  // A Kannel dlr-url is called with "delivered to the phone".
  auto kannel = httplib::Client("127.0.0.1", daemon.port())
                    .Get("/cgi-bin/sendsms?username=u&password=" + std::string(kApiKey) +
                         "&to=15550104&text=k&dlr-mask=1&dlr-url=" +
                         httplib::detail::encode_query_param(hooks.url("/dlr?type=%d&to=%P")));
  ASSERT_TRUE(kannel);
  ASSERT_TRUE(WaitUntil([&] { return !hooks.gets().empty(); }));
  EXPECT_EQ(hooks.gets(), std::vector<std::string>{"/dlr?type=1&to=15550104"});
  auto metrics = daemon.Client().Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->body.find("talvenixd_line_state{name=\"North\",port=\"3\",state=\"ready\"} 1"), std::string::npos);
  EXPECT_NE(metrics->body.find("talvenixd_line_state{name=\"North\",port=\"3\",state=\"failed\"} 0"),
            std::string::npos);
  EXPECT_NE(metrics->body.find("\ntalvenixd_sent_total 2\n"), std::string::npos) << metrics->body;
  EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_NE(metrics->body.find("talvenixd_send_duration_seconds_count 2\n"), std::string::npos);
  EXPECT_NE(metrics->body.find("talvenixd_http_requests_total{route=\"/v1/messages\",status=\"202\"} 1\n"),
            std::string::npos);
  EXPECT_NE(metrics->body.find("talvenixd_build_info{version=\""), std::string::npos);
  if (access("/usr/bin/promtool", X_OK) == 0) {
    TempFolder scrape{"scrape"};
    std::ofstream(scrape.File("metrics.txt")) << metrics->body;
    const std::string lint =
        Output("/usr/bin/promtool check metrics < " + scrape.File("metrics.txt") + " 2>&1; echo rc=$?");
    EXPECT_EQ(lint, "rc=0\n") << lint;
  }
  EXPECT_EQ(hooks.bad_signatures(), 0);
}

// The driver sent the message but could not tell its reference: its report
// (reference 0, the simulator's first) is tied to nothing and goes where
// every untied report goes.
TEST(DaemonModem, AReportForNoKnownReferenceGoesToTheConfiguredUrl) {
  WebhookReceiver hooks("hook-secret");
  DaemonProcess daemon({GsmDocument({DocumentLine(3, 9600, "North")}), hooks.url()});
  ASSERT_TRUE(StartOnSimulatedModem(daemon, "noreference"));
  std::string id = daemon.Send({{"to", "+15550103"}, {"text", "via modem"}, {"callback_url", hooks.url("/mine")}});
  ASSERT_TRUE(WaitUntil([&] { return !hooks.events("message.status_report").empty(); }));
  json report = hooks.events("message.status_report").at(0);
  EXPECT_EQ(report["path"], "/hook");
  EXPECT_EQ(report["reference"], 0);
  EXPECT_FALSE(report.contains("message_id"));
  ASSERT_TRUE(WaitUntil([&] { return daemon.State(id) == "sent"; }));
  EXPECT_EQ(daemon.Get(id)["events"].back()["state"], "sent");
  EXPECT_EQ(hooks.bad_signatures(), 0);
}

}  // namespace
}  // namespace talvenix::testing

namespace talvenix::testing {
namespace {

// The dashboard as a browser shows it, at a desktop's and a phone's width
// (the screenshots are kept in the build's artifacts/ folder): the queue
// depth and the line's state are there, axe-core finds no level-A
// violation, and nothing is wider than the phone.
TEST(DaemonStatusPage, ABrowserReadsTheDashboardAtBothWidthsAndAxeFindsNoViolation) {
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed (scripts/deps tests)";
  const std::string axe = TALVENIX_BINARY_DIR "/../npm/node_modules/axe-core/axe.min.js";
  if (access(axe.c_str(), R_OK) != 0) GTEST_SKIP() << axe << " is missing (scripts/deps tests installs it)";
  setenv("TALVENIX_GSM_DRIVER", TALVENIX_GSMSIM_PATH, 1);
  DaemonSettings settings{GsmDocument({DocumentLine(3, 9600, "North")}), ""};
  settings.messages_per_second = 0.2;  // the messages wait in the queue
  DaemonProcess daemon(settings);
  bool started = daemon.Start();
  unsetenv("TALVENIX_GSM_DRIVER");
  ASSERT_TRUE(started);
  for (int i = 0; i < 4; ++i) ASSERT_FALSE(daemon.Send({{"to", "+15550103"}, {"text", "queued"}}).empty());

  TempFolder profile{"chromium"};
  const std::string chromium =
      "timeout 90 /usr/bin/chromium --headless --no-sandbox --disable-gpu --hide-scrollbars "
      "--user-data-dir=" +
      profile.path().string() + " ";
  const std::string url =
      "http://talvenix:" + std::string(kApiKey) + "@127.0.0.1:" + std::to_string(daemon.port()) + "/";
  std::string dom = Output(chromium + "--dump-dom " + url + " 2>/dev/null");
  ASSERT_NE(dom.find("<h1>talvenixd</h1>"), std::string::npos) << dom;
  const std::string depth_tag = "id=\"queue-depth\">";
  size_t depth = dom.find(depth_tag);
  ASSERT_NE(depth, std::string::npos);
  int queued = std::atoi(dom.c_str() + depth + depth_tag.size());
  EXPECT_GE(queued, 2) << "four messages at one every five seconds";
  EXPECT_NE(dom.find("id=\"line-3\">ready<"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<svg"), std::string::npos);

  const std::filesystem::path artifacts = TALVENIX_BINARY_DIR "/artifacts";
  std::filesystem::create_directories(artifacts);
  for (int width : {1280, 390}) {
    const std::filesystem::path shot = artifacts / ("status-page-" + std::to_string(width) + ".png");
    std::filesystem::remove(shot);
    Output(chromium + "--window-size=" + std::to_string(width) + ",1600 --screenshot=" + shot.string() + " " + url +
           " 2>/dev/null");
    EXPECT_GT(std::filesystem::exists(shot) ? std::filesystem::file_size(shot) : 0, 10000u) << shot;

    // The page as the daemon served it, in a frame of that width beside
    // axe-core, read from files: the frame's viewport is the width asked
    // for, which a headless window narrower than 500 px is not.
    auto page = daemon.Client().Get("/");
    ASSERT_TRUE(page);
    std::string checked = page->body;
    checked.insert(checked.rfind("</body>"), "<script src=\"file://" + axe + "\"></script>");
    std::ofstream(profile.path() / "page.html") << checked;
    std::ofstream(profile.path() / "frame.html")
        << "<!DOCTYPE html><html lang=\"en\"><head><title>frame</title></head><body>"
           "<iframe id=\"f\" title=\"status page\" src=\"page.html\" style=\"width:"
        << width
        << "px;height:1600px;border:0\"></iframe><script>document.getElementById('f').addEventListener('load',()=>{"
           "const w=document.getElementById('f').contentWindow;w.axe.run(w.document,{runOnly:{type:'tag',values:"
           "['wcag2a','wcag21a']}}).then(r=>{const p=document.createElement('pre');p.id='axe-result';"
           "p.textContent=JSON.stringify({violations:r.violations.map(v=>v.id+': '+v.nodes.map(n=>n.target.join(' '))"
           ".join(', ')),width:w.document.documentElement.scrollWidth});document.body.appendChild(p);});});"
           "</script></body></html>";
    std::string result =
        Output(chromium + "--allow-file-access-from-files --virtual-time-budget=20000 --dump-dom file://" +
               (profile.path() / "frame.html").string() + " 2>/dev/null");
    const size_t at = result.find("<pre id=\"axe-result\">");
    ASSERT_NE(at, std::string::npos) << "axe-core did not report at " << width << " px";
    const size_t from = at + std::string("<pre id=\"axe-result\">").size();
    json report = json::parse(result.substr(from, result.find("</pre>", from) - from), nullptr, false);
    ASSERT_TRUE(report.is_object()) << result.substr(from, 400);
    EXPECT_EQ(report["violations"], json::array()) << width << " px";
    EXPECT_LE(report["width"].get<int>(), width) << "the page is wider than the window";
  }
}

// The queue's files are the owner's alone, a damaged one stops the start
// with a clear line, and a configuration that names a missing folder is
// refused before anything is made.
TEST(DaemonStorage, FilesArePrivateAndEveryProblemIsNamedBeforeTheStart) {
  namespace fs = std::filesystem;
  DaemonProcess daemon({NullGatewayDocument(), ""});
  ASSERT_TRUE(daemon.Start());
  for (int i = 0; i < 40; ++i)  // each as long as the example's three parts take
    ASSERT_FALSE(daemon.Send({{"to", "+15550100"}, {"text", std::string(480, 'x')}}).empty());
  // A lower-case scheme is a scheme too.
  httplib::Client lower("127.0.0.1", daemon.port());
  auto res = lower.Get("/metrics", {{"Authorization", std::string("bearer ") + kApiKey}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  for (const char* file : {"queue.db", "queue.db-wal", "queue.db-shm", "queue.db-handed"})
    EXPECT_EQ(fs::status(daemon.folder().File(file)).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write)
        << file;
  ASSERT_TRUE(daemon.Terminate());

  {
    std::fstream db(daemon.folder().File("queue.db"), std::ios::in | std::ios::out | std::ios::binary);
    db.seekp(3 * 4096);
    std::string garbage(2 * 4096, 'Z');
    db.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  EXPECT_FALSE(daemon.Start()) << daemon.folder().Read("daemon.err");
  EXPECT_NE(daemon.folder().Read("daemon.err").find("the database is damaged"), std::string::npos)
      << daemon.folder().Read("daemon.err");

  DaemonSettings nowhere{NullGatewayDocument(), ""};
  nowhere.database = "missing-folder/queue.db";
  DaemonProcess no_queue_folder(nowhere);
  EXPECT_FALSE(no_queue_folder.Start());
  EXPECT_NE(no_queue_folder.folder().Read("daemon.err").find("[daemon] database: the folder "), std::string::npos);
  EXPECT_NE(no_queue_folder.folder().Read("daemon.err").find("missing-folder does not exist"), std::string::npos);

  DaemonSettings no_module{NullGatewayDocument(), ""};
  no_module.more_ini = "[daemon]\nmodule_config = missing-module-folder\n";
  DaemonProcess no_module_folder(no_module);
  EXPECT_FALSE(no_module_folder.Start());
  EXPECT_NE(no_module_folder.folder().Read("daemon.err").find("missing-module-folder does not exist"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(no_module_folder.folder().File("queue.db"))) << "the queue was made before the check";
}

// SIGHUP re-reads talvenixd.ini too: new keys work at once, what needs a
// restart is said to, a broken file keeps the running settings; systemd
// hears RELOADING=1 and READY=1. Clients that dribble a header line now and
// then hold nothing but their own connection: others are answered and the
// watchdog is fed. The watchdog is fed only while the API answers: a client
// address holding all the connections it may have stops it.
TEST(DaemonOperations, SighupRereadsTheSettingsAndTheWatchdogNeedsAnAnsweringApi) {
  NotifySocket notify;
  DaemonSettings settings{NullGatewayDocument(), ""};
  settings.more_ini = "[api]\nconnections_per_address = 60\n";
  DaemonProcess daemon(settings);
  ASSERT_TRUE(StartWatched(daemon, notify));
  ASSERT_TRUE(WaitUntil([&] { return notify.Count("READY=1") == 1 && notify.Count("WATCHDOG=1") > 0; }));

  const std::string second_key = "a-second-key-added-later";
  auto works = [&](const std::string& key) {
    httplib::Client c("127.0.0.1", daemon.port());
    c.set_bearer_token_auth(key);
    auto res = c.Get("/metrics");
    return res && res->status == 200;
  };
  EXPECT_FALSE(works(second_key));
  const std::string ini = daemon.folder().Read("talvenixd.ini");
  daemon.folder().Write("talvenixd.ini", ini + "[api]\nkey_sha256 = " + daemon::Sha256Hex(second_key) +
                                             "\n[daemon]\nlisten = 127.0.0.1:1\n");
  daemon.Signal(SIGHUP);
  EXPECT_TRUE(WaitUntil([&] { return works(second_key); }));
  EXPECT_TRUE(works(kApiKey));
  EXPECT_TRUE(WaitUntil([&] { return notify.Count("READY=1") == 2; }));
  EXPECT_EQ(notify.Count("RELOADING=1"), 1u);
  EXPECT_NE(daemon.folder().Read("daemon.err").find("[daemon] listen changed: it takes effect at the next start"),
            std::string::npos);

  daemon.folder().Write("talvenixd.ini", ini + "[api]\nkey_sha256 = not-a-digest\n");
  daemon.Signal(SIGHUP);
  EXPECT_TRUE(WaitUntil([&] { return notify.Count("READY=1") == 3; }));
  EXPECT_TRUE(works(second_key)) << "a broken file replaced the running settings";
  EXPECT_NE(daemon.folder().Read("daemon.err").find("the running settings stay"), std::string::npos);

  std::atomic<bool> stop{false};
  std::vector<std::thread> holders;
  for (int i = 0; i < 40; ++i)
    holders.emplace_back([&] {
      int s = ConnectToLoopback(daemon.port());
      send(s, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
      for (int line = 0; !stop; ++line) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (line % 20 == 19) send(s, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL);
      }
      close(s);
    });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  httplib::Client client = daemon.Client();
  client.set_read_timeout(5);
  auto posted = client.Post("/v1/messages", R"({"to":"+15550100","text":"past the slow ones"})", "application/json");
  ASSERT_TRUE(posted) << "a client that dribbles its header starved the others";
  EXPECT_EQ(posted->status, 202);
  const size_t fed_among_slow = notify.Count("WATCHDOG=1");
  EXPECT_TRUE(WaitUntil([&] { return notify.Count("WATCHDOG=1") > fed_among_slow + 2; }));
  stop = true;
  for (auto& t : holders) t.join();

  // The cap is 60 connections per address (set above): 60 silent ones
  // from this machine leave none for the daemon's own liveness check.
  std::vector<int> held;
  for (int i = 0; i < 60; ++i) held.push_back(ConnectToLoopback(daemon.port()));
  EXPECT_TRUE(WaitUntil(
      [&] { return daemon.folder().Read("daemon.err").find("the watchdog is not fed") != std::string::npos; }));
  EXPECT_NE(daemon.folder().Read("daemon.err").find("connections refused from 127.0.0.1: it holds 60"),
            std::string::npos);
  const size_t fed = notify.Count("WATCHDOG=1");
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(notify.Count("WATCHDOG=1"), fed) << "fed while the API did not answer";
  for (int s : held) close(s);
  EXPECT_TRUE(WaitUntil([&] { return notify.Count("WATCHDOG=1") > fed; }));
}

}  // namespace
}  // namespace talvenix::testing
