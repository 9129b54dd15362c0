// SPDX-License-Identifier: Apache-2.0
// Several daemons on one PostgreSQL queue: they claim different messages
// and only those of their group, each restart settles only that daemon's
// claims, a daemon gone for the lease has its claims settled by the others
// (its handed messages unknown, never sent by another), webhook events are
// claimed once, and a server that goes away loses nothing it was given.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "common/postgresql_server.hpp"
#include "daemon/queue_postgresql.hpp"

namespace talvenix::daemon {
namespace {

class Fleet : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    server_ = testing::PostgresqlServer::Shared(why);
    if (!server_) {
      if (!testing::PostgresqlServer::Installed()) GTEST_SKIP() << why;
      FAIL() << why;
    }
    connection_ = server_->NewDatabase();
  }
  std::unique_ptr<PostgresqlQueue> Daemon(const std::string& name, const std::string& group = "",
                                          std::function<int64_t()> clock = NowMs) {
    return std::make_unique<PostgresqlQueue>(PostgresqlSettings{connection_, name, group, "null", 60},
                                             "http://127.0.0.1:9/hook", clock);
  }
  std::string State(MessageQueue& queue, const std::string& id) { return queue.Find(id).value()["state"]; }

  testing::PostgresqlServer* server_ = nullptr;
  std::string connection_;
};

NewMessage To(const std::string& text, const std::string& group = "") {
  NewMessage m{"+15550100", text, "", "", "", -1};
  m.group = group;
  return m;
}

TEST_F(Fleet, DaemonsClaimDifferentMessagesAndOnlyThoseOfTheirGroup) {
  auto any = Daemon("any"), eu = Daemon("eu-1", "eu");
  std::vector<NewMessage> messages;
  for (int i = 0; i < 300; ++i) messages.push_back(To(std::to_string(i), i % 3 == 0 ? "" : i % 3 == 1 ? "eu" : "us"));
  const std::vector<std::string> ids = any->AcceptAll(messages);
  any->Heartbeat();
  EXPECT_EQ(any->Groups(), (std::vector<std::string>{"", "eu"}));
  std::vector<OutgoingMessage> by_any, by_eu;
  auto drain = [](PostgresqlQueue& q, std::vector<OutgoingMessage>& out) {
    for (int empty = 0; empty < 3;) {
      std::vector<OutgoingMessage> batch = q.ClaimAhead(7).get();
      empty = batch.empty() ? empty + 1 : 0;
      out.insert(out.end(), batch.begin(), batch.end());
    }
  };
  std::thread a([&] { drain(*any, by_any); }), b([&] { drain(*eu, by_eu); });
  a.join();
  b.join();
  std::set<std::string> seen;
  for (const OutgoingMessage& m : by_any) {
    EXPECT_EQ(std::stoi(m.text) % 3, 0) << m.text;  // only those of no group
    EXPECT_TRUE(seen.insert(m.id).second);
  }
  for (const OutgoingMessage& m : by_eu) {
    EXPECT_NE(std::stoi(m.text) % 3, 2) << m.text;  // never another group's
    EXPECT_TRUE(seen.insert(m.id).second) << "claimed twice: " << m.text;
  }
  EXPECT_EQ(seen.size(), 200u);
  EXPECT_EQ(std::count_if(by_eu.begin(), by_eu.end(), [](const auto& m) { return std::stoi(m.text) % 3 == 1; }),
            100);                            // every one of its group
  EXPECT_EQ(State(*any, ids[2]), "queued");  // "us": no daemon sends for it
}

TEST_F(Fleet, ARestartSettlesItsOwnClaimsAndTheOthersSettleAGoneDaemonsAfterTheLease) {
  int64_t now = 1'700'000'000'000, stale = now;
  auto a = Daemon("a", "", [&] { return now; });
  auto b = Daemon("b", "", [&] { return stale; });  // its clock stops: it is seen no more after this
  a->MarkUnknown();
  b->MarkUnknown();
  const std::vector<std::string> ids = a->AcceptAll({To("a1"), To("a2"), To("b1"), To("b2"), To("b3")});
  ASSERT_EQ(a->ClaimNext(2).size(), 2u);
  ASSERT_EQ(b->ClaimNext(3).size(), 3u);
  a->MarkHanded(ids[0]);
  b->MarkHanded(ids[2]);
  b->RecordCode(ids[2], 112, "pending");
  b->Flush();
  EXPECT_THROW(a->MarkHanded(ids[3]), ClaimLost);  // another's claim

  a.reset();  // a restarts: only its own claims settle
  a = Daemon("a", "", [&] { return now; });
  EXPECT_EQ(a->MarkUnknown(), 1);
  EXPECT_EQ(State(*a, ids[0]), "unknown");
  EXPECT_EQ(State(*a, ids[1]), "queued");
  EXPECT_EQ(State(*a, ids[2]), "pending");
  EXPECT_EQ(State(*a, ids[3]), "sending");

  now += 61'000;  // b was last seen over a lease ago
  a->Heartbeat();
  EXPECT_EQ(State(*a, ids[2]), "unknown");  // handed: for an operator's retry, never for a
  EXPECT_EQ(State(*a, ids[3]), "queued");
  EXPECT_EQ(State(*a, ids[4]), "queued");
  nlohmann::json lost = a->Find(ids[2]).value()["events"].back();
  EXPECT_NE(lost["detail"].get<std::string>().find("its daemon b was not seen for 60 s"), std::string::npos);
  // b still runs and comes to the claims it held: they are no longer its own.
  EXPECT_THROW(b->MarkHanded(ids[3]), ClaimLost);
  b->RecordCode(ids[2], 0, "success");  // too late: unknown stays
  b->Flush();
  EXPECT_EQ(State(*a, ids[2]), "unknown");
  std::vector<OutgoingMessage> again = a->ClaimNext(10);
  EXPECT_EQ(again.size(), 3u);
  EXPECT_EQ(a->Retry(ids[2]), RetryResult::kQueued);
  // Two daemons may not share a name.
  EXPECT_THROW(Daemon("a"), std::runtime_error);
}

TEST_F(Fleet, EveryWebhookEventIsClaimedByOneDaemon) {
  auto a = Daemon("a"), b = Daemon("b");
  for (int i = 0; i < 50; ++i) a->RecordIncoming({"+15550100", "in " + std::to_string(i), 1});
  a->Flush();
  std::vector<WebhookDelivery> to_a, to_b;
  std::thread ta([&] { to_a = a->DueWebhooks(NowMs(), 40); }), tb([&] { to_b = b->DueWebhooks(NowMs(), 40); });
  ta.join();
  tb.join();
  std::set<std::string> events;
  for (const auto* list : {&to_a, &to_b})
    for (const WebhookDelivery& d : *list) EXPECT_TRUE(events.insert(d.event_id).second) << d.event_id;
  EXPECT_EQ(events.size(), 50u);
  // One a did not deliver is a's again, but not b's while the lease runs.
  ASSERT_FALSE(to_a.empty());
  WebhookSkip under_way;  // what b's sender delivers now
  for (const WebhookDelivery& d : to_b) under_way.events.push_back(d.event_id);
  EXPECT_TRUE(b->DueWebhooks(NowMs(), 100, under_way).empty());
  EXPECT_EQ(a->DueWebhooks(NowMs(), 100).size(), to_a.size());
  for (const WebhookDelivery& d : to_a) a->WebhookAttempted(d.event_id, WebhookOutcome::kDelivered, 0, "");
  EXPECT_EQ(a->Stats().webhook_backlog, static_cast<int64_t>(to_b.size()));
}

TEST_F(Fleet, AServerThatGoesAwayLosesNothingItWasGivenAndTheQueueGoesOnWhenItIsBack) {
  auto a = Daemon("a");
  a->MarkUnknown();
  const std::string id = a->Accept(To("before"));
  ASSERT_EQ(a->ClaimNext(1).size(), 1u);
  a->MarkHanded(id);
  server_->Kill();
  struct Restart {
    testing::PostgresqlServer* server;
    ~Restart() { server->Start(); }
  };
  {
    Restart back{server_};
    EXPECT_THROW(a->Accept(To("while down")), StorageError);  // the API answers 503
    EXPECT_THROW(a->MarkHanded(id), StorageError);            // sending stops
    EXPECT_THROW(a->Stats(), StorageError);
    a->RecordCode(id, 0, "success");  // kept for later
  }
  a->Flush();
  EXPECT_EQ(State(*a, id), "sent");
  const std::string after = a->Accept(To("after"));
  a->WaitForWork(std::chrono::seconds(5));
  EXPECT_EQ(a->ClaimNext(5).size(), 1u);
  EXPECT_EQ(a->Stats().storage_error, "");
  EXPECT_EQ(a->Stats().sent_total, 1);
  EXPECT_EQ(testing::PgCount(connection_, "SELECT count(*) FROM messages"), 2) << "the refused one was not stored";
}

}  // namespace
}  // namespace talvenix::daemon
