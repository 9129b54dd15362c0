// SPDX-License-Identifier: Apache-2.0
// The send interface as clients of other gateways use it: lists of
// recipients in JSON, and Kannel's sendsms in the forms Kannel's clients
// send (a GET or a form POST, user/pass, blanks between recipients, a text
// in its charset), answered in Kannel's plain text.

#include <gtest/gtest.h>

#include <algorithm>

#include "daemon/daemon_fixture.hpp"
#include "gateways/internet/clickatell_document.hpp"
#include "peers/http_peer.hpp"

namespace talvenix::testing {
namespace {

std::vector<std::string> CommaWords(const std::string& text) {
  std::vector<std::string> words;
  for (size_t at = 0; at < text.size();) {
    size_t end = std::min(text.find(", ", at), text.size());
    words.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return words;
}

TEST(DaemonSendApi, AListOfRecipientsBecomesOneMessageEachInOrder) {
  DaemonProcess daemon({NullGatewayDocument(), ""});
  ASSERT_TRUE(daemon.Start());
  auto about = daemon.Client().Get("/v1");
  ASSERT_TRUE(about);
  EXPECT_EQ(json::parse(about->body)["fields"].size(), 10u) << about->body;
  auto res = daemon.Client().Post("/v1/messages",
                                  R"({"to":["+15550100","+15550101","+15550102"],"text":"to all","priority":2})",
                                  "application/json");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 202);
  json ids = json::parse(res->body)["ids"];
  ASSERT_EQ(ids.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    json m = daemon.Get(ids[i]);
    EXPECT_EQ(m["to"], "+1555010" + std::to_string(i));
    EXPECT_EQ(m["priority"], 2);
    EXPECT_EQ(m["parts"], 1);
    EXPECT_TRUE(WaitUntil([&] { return daemon.State(ids[i]) == "sent"; }));
  }
  // A schedule is kept to the millisecond, whatever the zone it came in.
  const int64_t due = (daemon::NowMs() / 1000 + 30 * 24 * 3600) * 1000;
  std::string in_zone = daemon::IsoTime(due + 2 * 3600 * 1000);
  in_zone.replace(in_zone.size() - 5, 5, ".5+02:00");
  res = daemon.Client().Post(
      "/v1/messages", json{{"to", "+15550100"}, {"text", "later"}, {"send_at", in_zone}, {"validity", 90}}.dump(),
      "application/json");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 202) << res->body;
  json later = daemon.Get(json::parse(res->body)["id"]);
  EXPECT_EQ(later["state"], "queued");
  EXPECT_EQ(later["send_at"], daemon::IsoTime(due + 500));
  EXPECT_EQ(later["valid_until"], daemon::IsoTime(due + 500 + 90 * 60 * 1000));
}

// Keys grouped as tenants: each sees and retries only its own messages, is
// held to its own throttle and daily cap (the day's count survives a
// restart), and /metrics, which only the operator's keys open, bills each.
TEST(DaemonTenants, AKeySeesOnlyItsOwnMessagesAndIsHeldToItsOwnLimits) {
  DaemonSettings settings{NullGatewayDocument(), ""};
  settings.more_ini = "[tenant shop]\nkey_sha256 = " + daemon::Sha256Hex("shop-key") +
                      "\ndaily_cap = 3\n[tenant slow]\nkey_sha256 = " + daemon::Sha256Hex("slow-key") +
                      "\nmessages_per_second = 0.5\n";
  DaemonProcess daemon(settings);
  ASSERT_TRUE(daemon.Start());
  auto as = [&](const std::string& key) {
    httplib::Client c("127.0.0.1", daemon.port());
    c.set_bearer_token_auth(key);
    return c;
  };
  auto post = [&](const std::string& key, const json& body) {
    return as(key).Post("/v1/messages", body.dump(), "application/json");
  };
  const std::string operators = daemon.Send({{"to", "+15550100"}, {"text", "the operator's"}});
  auto shops = post("shop-key", {{"to", "+15550101"}, {"text", "the shop's"}});
  ASSERT_TRUE(shops);
  ASSERT_EQ(shops->status, 202) << shops->body;
  const std::string shop_id = json::parse(shops->body)["id"];
  auto status_of = [&](const std::string& key, const std::string& path) {
    auto res = path.ends_with("/retry") ? as(key).Post(path) : as(key).Get(path);
    return res ? res->status : -1;
  };
  EXPECT_EQ(status_of("shop-key", "/v1/messages/" + operators), 404);
  EXPECT_EQ(status_of("shop-key", "/v1/messages/" + operators + "/retry"), 404);
  EXPECT_EQ(status_of(kApiKey, "/v1/messages/" + shop_id), 404);
  EXPECT_EQ(status_of("shop-key", "/v1/messages/" + shop_id), 200);

  // The cap counts recipients: a list of two reaches it.
  auto two = post("shop-key", {{"to", {"+15550102", "+15550103"}}, {"text", "two"}});
  ASSERT_TRUE(two);
  EXPECT_EQ(two->status, 202) << two->body;
  auto over = post("shop-key", {{"to", "+15550104"}, {"text", "one too many"}});
  ASSERT_TRUE(over);
  EXPECT_EQ(over->status, 429);
  EXPECT_NE(over->body.find("daily cap of 3"), std::string::npos) << over->body;
  const int retry_after = std::atoi(over->get_header_value("Retry-After").c_str());
  EXPECT_TRUE(retry_after >= 1 && retry_after <= 86400) << retry_after;
  auto kannel =
      httplib::Client("127.0.0.1", daemon.port()).Get("/cgi-bin/sendsms?user=shop&pass=shop-key&to=15550105&text=over");
  ASSERT_TRUE(kannel);
  EXPECT_EQ(kannel->status, 429);
  EXPECT_FALSE(kannel->get_header_value("Retry-After").empty());

  // Half a message a second: the second at once waits two seconds.
  EXPECT_EQ(post("slow-key", {{"to", "+15550106"}, {"text", "first"}})->status, 202);
  auto throttled = post("slow-key", {{"to", "+15550107"}, {"text", "second"}});
  ASSERT_TRUE(throttled);
  EXPECT_EQ(throttled->status, 429);
  EXPECT_EQ(throttled->get_header_value("Retry-After"), "2");

  auto about = as("shop-key").Get("/v1");
  ASSERT_TRUE(about);
  EXPECT_EQ(json::parse(about->body)["tenant"],
            (json{{"name", "shop"}, {"messages_per_second", nullptr}, {"daily_cap", 3}, {"accepted_today", 3}}));
  EXPECT_EQ(status_of("shop-key", "/metrics"), 401) << "a tenant's key opened every tenant's figures";
  auto metrics = as(kApiKey).Get("/metrics");
  ASSERT_TRUE(metrics);
  for (const char* line : {"talvenixd_tenant_messages_total{event=\"accepted\",tenant=\"shop\"} 3",
                           "talvenixd_tenant_messages_total{event=\"accepted\",tenant=\"default\"} 1",
                           "talvenixd_tenant_refused_total{reason=\"daily_cap\",tenant=\"shop\"} 2",
                           "talvenixd_tenant_refused_total{reason=\"throttle\",tenant=\"slow\"} 1"})
    EXPECT_NE(metrics->body.find(line), std::string::npos) << line << " is not in\n" << metrics->body;
  ASSERT_TRUE(WaitUntil([&] { return daemon.State(operators) == "sent"; }));
  metrics = as(kApiKey).Get("/metrics");
  EXPECT_NE(metrics->body.find("talvenixd_tenant_parts_sent_total{tenant=\"default\"} 1"), std::string::npos);

  daemon.Kill();
  ASSERT_TRUE(daemon.Start());
  over = post("shop-key", {{"to", "+15550104"}, {"text", "after the restart"}});
  ASSERT_TRUE(over);
  EXPECT_EQ(over->status, 429) << "a restart started the day afresh";

  // One key in two tenants would make its messages someone else's.
  daemon.Kill();
  daemon.folder().Write("talvenixd.ini", daemon.folder().Read("talvenixd.ini") +
                                             "[tenant other]\nkey_sha256 = " + daemon::Sha256Hex("shop-key") + "\n");
  EXPECT_FALSE(daemon.Start());
  EXPECT_NE(daemon.folder().Read("daemon.err").find("one key is in the tenants shop and other"), std::string::npos);
}

TEST(DaemonKannel, ClientRequestFormsAreReadAsKannelReadsThem) {
  HttpPeer provider;
  provider.Answer(200, "ID: 5");
  DaemonProcess daemon({ClickatellDocument({"api1", "user", "pw", "Shop"}, provider.base()), ""});
  ASSERT_TRUE(daemon.Start());
  // GET /v1 tells what the running gateway carries out: not a sender of the request's.
  auto about = daemon.Client().Get("/v1");
  ASSERT_TRUE(about);
  json described = json::parse(about->body);
  EXPECT_EQ(described["gateway"], "Clickatell");
  EXPECT_EQ(described["text"]["max_parts"], 3);
  const std::vector<std::string> fields = described["fields"];
  EXPECT_EQ(std::count(fields.begin(), fields.end(), "from"), 0);
  EXPECT_EQ(std::count(fields.begin(), fields.end(), "send_at"), 1);

  httplib::Client kannel("127.0.0.1", daemon.port());
  const std::string login = std::string("user=u&pass=") + kApiKey;
  auto texts_at_provider = [&] {
    std::vector<std::pair<std::string, std::string>> out;
    for (const RecordedRequest& r : provider.requests())
      out.emplace_back(r.params.find("to")->second, r.params.find("text")->second);
    std::sort(out.begin(), out.end());
    return out;
  };

  // A form POST to two recipients, the first after an unencoded '+', the
  // text in ISO-8859-1.
  auto res = kannel.Post("/cgi-bin/sendsms", login + "&to=+4512345678+4598765432&text=%FCber+alles&charset=ISO-8859-1",
                         "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 202);
  EXPECT_EQ(res->body, "0: Accepted for delivery");
  std::vector<std::string> ids = CommaWords(res->get_header_value("X-Message-Id"));
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(daemon.Get(ids[0])["to"], "4512345678");
  EXPECT_EQ(daemon.Get(ids[1])["to"], "4598765432");
  // UCS-2 comes as UTF-16BE unless a charset says otherwise; Windows-1252 has the euro sign at 0x80.
  res = kannel.Get("/cgi-bin/sendsms?" + login + "&to=15550103&coding=2&text=%20%AC%00%3F");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 202);
  res = kannel.Get("/cgi-bin/sendsms?username=u&password=" + std::string(kApiKey) +
                   "&to=15550104&text=%80%205&charset=windows-1252");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 202);
  ASSERT_TRUE(WaitUntil([&] { return provider.request_count() == 4; }));
  const std::vector<std::pair<std::string, std::string>> sent = {{"15550103", "\u20ac?"},
                                                                 {"15550104", "\u20ac 5"},
                                                                 {"4512345678", "\u00fcber alles"},
                                                                 {"4598765432", "\u00fcber alles"}};
  EXPECT_EQ(texts_at_provider(), sent);

  // Refusals in Kannel's words; a request with one bad recipient queues none.
  const std::pair<std::string, std::string> refused[] = {
      {"&to=15550105&text=x&udh=%06%05%04%0B%84%23%F0", "udh is not supported by this gateway, rejected"},
      {"&to=15550105&text=x&smsc=other", "group other: no daemon sends for it (this daemon sends alone)"},
      {"&to=15550105&text=x&coding=1", "8-bit coding (coding=1) is not supported, rejected"},
      {"&to=15550105&text=x&coding=7", "Coding field misformed, rejected"},
      {"&to=15550105&text=x&priority=4", "Priority field misformed, rejected"},
      {"&to=15550105&text=x&deferred=soon", "Deferred field misformed, rejected"},
      {"&to=15550105&text=x&validity=0", "Validity field misformed, rejected"},
      {"&to=15550105&text=%00&charset=UTF-16BE", "Charset or body misformed, rejected"},
      {"&to=15550105&text=x&charset=KOI8-R", "Charset or body misformed, rejected"},
      {"&to=%20&text=x", "Missing receiver number, rejected"},
      {"&to=15550105%2012&text=x", "to[1]: expected a phone number: an optional + and 3 to 20 digits"},
      {"&to=15550105&text=x&from=Other",
       "from: the running gateway sends with the sender of its own settings; leave from out"},
  };
  for (const auto& [query, text] : refused) {
    res = kannel.Get("/cgi-bin/sendsms?" + login + query);
    ASSERT_TRUE(res) << query;
    EXPECT_EQ(res->status, 400) << query;
    EXPECT_EQ(res->body, text) << query;
  }
  res = kannel.Post("/cgi-bin/sendsms", "user=u&pass=wrong&to=15550105&text=x", "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 403);
  EXPECT_EQ(res->body, "Authorization failed for sendsms");
  res = kannel.Post("/cgi-bin/sendsms", login + "&to=15550105&text=x", "text/plain");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 415);

  // Kannel's deferred and validity hold the message in the queue with its times.
  res = kannel.Get("/cgi-bin/sendsms?" + login + "&to=15550106&text=later&deferred=60&validity=5&priority=3");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 202);
  json later = daemon.Get(res->get_header_value("X-Message-Id"));
  EXPECT_EQ(later["state"], "queued");
  EXPECT_EQ(later["priority"], 3);
  ASSERT_TRUE(later.contains("send_at"));
  EXPECT_GT(later["valid_until"].get<std::string>(), later["send_at"].get<std::string>());
  res = daemon.Client().Get("/metrics");
  ASSERT_TRUE(res);
  EXPECT_NE(res->body.find("talvenixd_accepted_total 5\n"), std::string::npos);
  EXPECT_EQ(provider.request_count(), 4u);
}

}  // namespace
}  // namespace talvenix::testing
