// SPDX-License-Identifier: Apache-2.0
// What either queue must do: what a restart makes of the messages a stopped
// daemon had taken (handed to the module means unknown, never sent again by
// itself; only taken means queued again), claims by priority and time,
// reports tied to their sends, and retention that deletes only what settled
// long enough ago. Then what only the SQLite file does: its journal, a
// restart of the machine, a file from an older daemon.

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>

#include "common/postgresql_server.hpp"
#include "common/system_call_faults.hpp"
#include "common/temp_folder.hpp"
#include "daemon/queue_postgresql.hpp"
#include "daemon/queue_sqlite.hpp"

namespace talvenix::daemon {
namespace {

// Runs one query that yields a number on the file, beside the queue.
int64_t Count(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  int64_t n = -1;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW)
    n = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return n;
}

// The running counts Stats reads match the rows they count.
void ExpectCountsMatchRows(MessageQueue& queue, const std::function<int64_t(const std::string&)>& count) {
  queue.Flush();
  const QueueStats stats = queue.Stats();
  for (const char* state : {"queued", "sending", "pending", "sent", "failed", "unknown", "expired"}) {
    const std::string sql = std::string("SELECT count(*) FROM messages WHERE state='") + state + "'";
    auto it = stats.messages_per_state.find(state);
    EXPECT_EQ(it == stats.messages_per_state.end() ? 0 : it->second, count(sql)) << state;
  }
  EXPECT_EQ(stats.webhook_backlog, count("SELECT count(*) FROM webhooks WHERE state='due'"));
}

// Either queue as a daemon opens it, again after each restart.
class Queue : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (GetParam() == std::string("postgresql")) {
      std::string why;
      testing::PostgresqlServer* server = testing::PostgresqlServer::Shared(why);
      if (!server) {
        if (!testing::PostgresqlServer::Installed()) GTEST_SKIP() << why;
        FAIL() << why;
      }
      connection_ = server->NewDatabase();
    }
  }
  std::unique_ptr<MessageQueue> Open(const std::string& url = "", std::function<int64_t()> clock = NowMs) {
    if (connection_.empty()) return std::make_unique<SqliteQueue>(path_, url, "boot-1", clock);
    return std::make_unique<PostgresqlQueue>(PostgresqlSettings{connection_, "daemon-1", "", "", 60}, url, clock);
  }
  int64_t Count(const std::string& sql) {
    return connection_.empty() ? talvenix::daemon::Count(path_, sql) : testing::PgCount(connection_, sql);
  }
  void ExpectCountsMatchRows(MessageQueue& queue) {
    talvenix::daemon::ExpectCountsMatchRows(queue, [&](const std::string& sql) { return Count(sql); });
  }

  testing::TempFolder folder_{"queue"};
  const std::string path_ = folder_.File("queue.db");
  std::string connection_;  // the PostgreSQL database's; empty for SQLite
};

INSTANTIATE_TEST_SUITE_P(Backends, Queue, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(Queue, ARestartTellsHandedFromOnlyTakenMessages) {
  std::vector<std::string> ids;
  {
    auto queue = Open();
    EXPECT_EQ(queue->MarkUnknown(), 0);  // as the daemon starts
    for (const char* text : {"handed", "pending", "taken", "sent"})
      ids.push_back(queue->Accept({"+15550100", text, "", "", "", -1}));
    std::vector<OutgoingMessage> batch = queue->ClaimNext(4);
    ASSERT_EQ(batch.size(), 4u);
    queue->MarkHanded(ids[0]);
    queue->MarkHanded(ids[1]);
    queue->RecordCode(ids[1], 112, "pending");
    queue->MarkHanded(ids[3]);
    queue->RecordCode(ids[3], 0, "success");
    queue->Flush();
  }  // the daemon stops here without the outcomes of the first two
  auto queue = Open();
  EXPECT_EQ(queue->MarkUnknown(), 2);
  auto state = [&](const std::string& id) { return queue->Find(id).value()["state"].get<std::string>(); };
  EXPECT_EQ(state(ids[0]), "unknown");
  EXPECT_EQ(state(ids[1]), "unknown");
  EXPECT_EQ(state(ids[2]), "queued");
  EXPECT_EQ(state(ids[3]), "sent");
  // The journal was settled: a second start changes nothing.
  EXPECT_EQ(queue->MarkUnknown(), 0);
  std::vector<OutgoingMessage> again = queue->ClaimNext(4);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].id, ids[2]);
  EXPECT_EQ(queue->Retry(ids[0]), RetryResult::kQueued);
  EXPECT_EQ(queue->Retry(ids[3]), RetryResult::kNotRetryable);
}

TEST_P(Queue, AClaimAheadKeepsTheJournalOfASendStillGoingOn) {
  std::vector<std::string> ids;
  {
    auto queue = Open();
    queue->MarkUnknown();
    for (const char* text : {"in the module", "next"})
      ids.push_back(queue->Accept({"+15550100", text, "", "", "", -1}));
    ASSERT_EQ(queue->ClaimNext(1).size(), 1u);
    queue->MarkHanded(ids[0]);
    ASSERT_EQ(queue->ClaimAhead(1).get().size(), 1u);  // while the first is being sent
  }                                                    // the daemon dies before the first send's code
  auto queue = Open();
  EXPECT_EQ(queue->MarkUnknown(), 1);
  EXPECT_EQ(queue->Find(ids[0]).value()["state"], "unknown");
  EXPECT_EQ(queue->Find(ids[1]).value()["state"], "queued");
}

TEST_P(Queue, RetentionDeletesOnlyWhatSettledBeforeTheCutoff) {
  constexpr int64_t kDay = 24LL * 3600 * 1000;
  int64_t now = 1'700'000'000'000;
  const int64_t day0 = now;
  auto clock = [&] { return now; };
  auto add = [](MessageQueue& q, const char* text) { return q.Accept({"+15550100", text, "", "", "", -1}); };
  std::string lost;  // handed to the module before a stop: unknown at day 0
  {
    auto queue = Open("http://127.0.0.1:9/hook", clock);
    queue->MarkUnknown();
    lost = add(*queue, "lost");
    ASSERT_EQ(queue->ClaimNext(1).size(), 1u);
    queue->MarkHanded(lost);
  }
  auto queue = Open("http://127.0.0.1:9/hook", clock);
  ASSERT_EQ(queue->MarkUnknown(), 1);
  // Day 0: four sends, three of them failing (two to be retried on day 35);
  // one left pending, one in the module's hands, one never taken.
  std::vector<std::string> ids;
  for (const char* text : {"sent", "failed", "retried", "requeued", "pending", "sending"})
    ids.push_back(add(*queue, text));
  const std::string queued = add(*queue, "queued");
  ASSERT_EQ(queue->ClaimNext(6).size(), 6u);
  queue->RecordCode(ids[0], 0, "success");
  for (int i : {1, 2, 3}) queue->RecordCode(ids[i], 5, "failed");
  queue->RecordCode(ids[4], 112, "pending");
  queue->Flush();
  // Outcome events: the unknown one stays due, the failed one is given up,
  // the others delivered.
  std::vector<WebhookDelivery> due = queue->DueWebhooks(now, 100);
  ASSERT_EQ(due.size(), 5u);
  for (const WebhookDelivery& d : due) {
    std::string id = nlohmann::json::parse(d.body)["message_id"];
    if (id != lost)
      queue->WebhookAttempted(d.event_id, id == ids[1] ? WebhookOutcome::kExpired : WebhookOutcome::kDelivered,
                              now + 1000, "");
  }
  // Day 35: one retry fails again, and its outcome is delivered; the other waits.
  now = day0 + 35 * kDay;
  ASSERT_EQ(queue->Retry(ids[2]), RetryResult::kQueued);
  ASSERT_EQ(queue->ClaimNext(1).at(0).id, ids[2]);
  queue->RecordCode(ids[2], 5, "failed");
  ASSERT_EQ(queue->Retry(ids[3]), RetryResult::kQueued);
  for (const WebhookDelivery& d : queue->DueWebhooks(now, 100))
    if (nlohmann::json::parse(d.body)["message_id"] != lost)
      queue->WebhookAttempted(d.event_id, WebhookOutcome::kDelivered, now, "");
  const QueueStats before = queue->Stats();

  // Day 40, keeping 30 days; batches of two, so that one batch is not all.
  now = day0 + 40 * kDay;
  DeletedCounts total;
  for (int i = 0; i < 10; ++i) {
    DeletedCounts batch = queue->DeleteSettled(now - 30 * kDay, 2);
    total.messages += batch.messages;
    total.webhooks += batch.webhooks;
    if (batch.messages == 0 && batch.webhooks == 0) break;
  }
  EXPECT_EQ(total.messages, 3);  // lost, sent, failed
  EXPECT_EQ(total.webhooks, 4);  // the day-0 outcomes of sent, failed and both retried
  for (const std::string& id : {lost, ids[0], ids[1]}) EXPECT_FALSE(queue->Find(id)) << id;
  EXPECT_EQ(queue->Retry(lost), RetryResult::kNotFound);
  std::map<std::string, std::string> kept = {
      {ids[2], "failed"}, {ids[3], "queued"}, {ids[4], "pending"}, {ids[5], "sending"}, {queued, "queued"}};
  for (const auto& [id, state] : kept) {
    std::optional<nlohmann::json> message = queue->Find(id);
    ASSERT_TRUE(message) << state;
    EXPECT_EQ((*message)["state"], state);
  }
  EXPECT_EQ(queue->Find(ids[2]).value()["events"].size(), 6u);  // its whole history, day 0 included
  EXPECT_EQ(Count("SELECT count(*) FROM message_events WHERE message_seq NOT IN (SELECT seq FROM messages)"), 0);
  // The undelivered event of a deleted message is still sent; the recent delivered one is kept.
  ASSERT_EQ(queue->DueWebhooks(now, 100).size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(queue->DueWebhooks(now, 100)[0].body)["message_id"], lost);
  EXPECT_EQ(Count("SELECT count(*) FROM webhooks"), 2);
  // Counters never go down.
  const QueueStats after = queue->Stats();
  EXPECT_EQ(after.accepted, before.accepted);
  EXPECT_EQ(after.sent_total, before.sent_total);
  EXPECT_EQ(after.failed_per_code, before.failed_per_code);
  EXPECT_EQ(queue->Retry(ids[2]), RetryResult::kQueued);
  ExpectCountsMatchRows(*queue);
  if (GetParam() == std::string("sqlite")) {
    EXPECT_EQ(Count("PRAGMA auto_vacuum"), 2);  // incremental: freed pages can be given back
  }
}

// A modem line's references wrap at 256: a report is tied only to the newest
// send of its line and reference, and only when that went to the report's
// recipient within the window, across a restart of the daemon; retention
// takes the references with their message.
TEST_P(Queue, AStatusReportFindsOnlyTheNewestSendOfItsReference) {
  constexpr int64_t kDay = 24LL * 3600 * 1000;
  int64_t now = 1'700'000'000'000;
  auto clock = [&] { return now; };
  std::string older, newer, other_line;
  {
    auto queue = Open("http://127.0.0.1:9/hook", clock);
    queue->MarkUnknown();
    older = queue->Accept({"+15550100", "older", "", "o", "http://127.0.0.1:9/older", -1});
    newer = queue->Accept({"+15550111", "newer", "", "n", "", -1});
    other_line = queue->Accept({"+15550100", "other line", "", "", "", -1});
    ASSERT_EQ(queue->ClaimNext(3).size(), 3u);
    for (const std::string& id : {older, newer, other_line}) queue->RecordCode(id, 0, "success");
    queue->RecordReferences(older, {3, "+15550100", 2, {{1, 7}, {2, 8}}});
    queue->RecordReferences(newer, {3, "+15550111", 1, {{1, 8}}});  // reference 8 again, another recipient
    queue->RecordReferences(other_line, {4, "+15550100", 1, {{1, 9}}});
    queue->Flush();
  }
  auto queue = Open("http://127.0.0.1:9/hook", clock);
  queue->MarkUnknown();
  for (const WebhookDelivery& d : queue->DueWebhooks(now, 100))
    queue->WebhookAttempted(d.event_id, WebhookOutcome::kDelivered, now, "");
  queue->RecordStatusReport({7, 0x00, 3, "+15550100", "", true});   // the older send's first part
  queue->RecordStatusReport({8, 0x00, 3, "+15550100", "", true});   // 8 was reused since: never the older send
  queue->RecordStatusReport({8, 0x41, 3, "15550111", "", true});    // the newer send, its number written otherwise
  queue->RecordStatusReport({9, 0x21, 3, "+15550100", "", true});   // 9 was sent on another line
  queue->RecordStatusReport({7, 0x00, 3, "+15550100", "", false});  // not from a modem line
  queue->Flush();
  std::vector<std::pair<std::string, std::string>> sent;  // (url, message id or "")
  for (const WebhookDelivery& d : queue->DueWebhooks(now, 100)) {
    nlohmann::json body = nlohmann::json::parse(d.body);
    sent.emplace_back(d.url, body.value("message_id", ""));
    queue->WebhookAttempted(d.event_id, WebhookOutcome::kDelivered, now, "");
  }
  std::vector<std::pair<std::string, std::string>> expected = {{"http://127.0.0.1:9/older", older},
                                                               {"http://127.0.0.1:9/hook", ""},
                                                               {"http://127.0.0.1:9/hook", newer},
                                                               {"http://127.0.0.1:9/hook", ""},
                                                               {"http://127.0.0.1:9/hook", ""}};
  EXPECT_EQ(sent, expected);
  nlohmann::json report = queue->Find(older).value()["events"].back();
  EXPECT_EQ(report["state"], "status_report");
  EXPECT_EQ(report["delivery"], "delivered");
  EXPECT_EQ(report["part"], 1);
  EXPECT_EQ(report["parts"], 2);
  EXPECT_EQ(queue->Find(newer).value()["events"].back()["delivery"], "failed");

  now += 6 * kDay;  // past the window: the newest send of 9 is too old
  queue->RecordStatusReport({9, 0x00, 4, "+15550100", "", true});
  queue->Flush();
  ASSERT_EQ(queue->DueWebhooks(now, 100).size(), 1u);
  EXPECT_FALSE(nlohmann::json::parse(queue->DueWebhooks(now, 100)[0].body).contains("message_id"));

  EXPECT_EQ(queue->DeleteSettled(now, 100).messages, 3);
  EXPECT_EQ(Count("SELECT count(*) FROM message_references"), 0);
}

// Claims take what is due, the highest priority first; a message whose time
// ran out before its turn is expired with its event and webhook, and counted.
TEST_P(Queue, ClaimsTakeDueMessagesByPriorityAndExpireTheOverdue) {
  int64_t now = 1'700'000'000'000;
  auto queue = Open("http://127.0.0.1:9/hook", [&] { return now; });
  queue->MarkUnknown();
  auto message = [&](const char* text, int priority, int64_t send_at = 0, int64_t expires = 0) {
    NewMessage m{"+15550100", text, "", "", "", -1};
    m.priority = priority;
    m.send_at_ms = send_at;
    m.expires_ms = expires;
    m.parts = 2;
    return m;
  };
  const std::vector<std::string> ids =
      queue->AcceptAll({message("low", 0), message("urgent", 3), message("later", 3, now + 1000),
                        message("brief", 0, 0, now + 500), message("middle", 1)});
  ASSERT_EQ(ids.size(), 5u);
  auto texts = [](const std::vector<OutgoingMessage>& claimed) {
    std::vector<std::string> out;
    for (const OutgoingMessage& m : claimed) out.push_back(m.text);
    return out;
  };
  EXPECT_EQ(texts(queue->ClaimNext(2)), (std::vector<std::string>{"urgent", "middle"}));
  now += 600;
  EXPECT_EQ(texts(queue->ClaimNext(10)), (std::vector<std::string>{"low"}));
  nlohmann::json brief = queue->Find(ids[3]).value();
  EXPECT_EQ(brief["state"], "expired");
  EXPECT_EQ(brief["valid_until"], IsoTime(now - 100));
  EXPECT_EQ(brief["events"].back()["state"], "expired");
  EXPECT_EQ(brief["parts"], 2);
  nlohmann::json later = queue->Find(ids[2]).value();
  EXPECT_EQ(later["state"], "queued");
  EXPECT_EQ(later["send_at"], IsoTime(now + 400));
  EXPECT_EQ(later["priority"], 3);
  now += 400;
  EXPECT_EQ(texts(queue->ClaimNext(10)), (std::vector<std::string>{"later"}));
  EXPECT_EQ(queue->Stats().expired_total, 1);
  EXPECT_EQ(queue->Stats().messages_per_state["expired"], 1);
  queue->Flush();
  std::vector<WebhookDelivery> due = queue->DueWebhooks(now, 10);
  ASSERT_EQ(due.size(), 1u);
  nlohmann::json event = nlohmann::json::parse(due[0].body);
  EXPECT_EQ(event["state"], "expired");
  EXPECT_EQ(event["message_id"], ids[3]);
}

TEST(SqliteQueue, AfterAPowerCutEveryTakenMessageIsUnknown) {
  testing::TempFolder folder{"queue"};
  const std::string path = folder.File("queue.db");
  std::vector<std::string> ids;
  {
    SqliteQueue queue(path, "", "boot-1");
    queue.MarkUnknown();
    for (const char* text : {"handed", "taken"}) ids.push_back(queue.Accept({"+15550100", text, "", "", "", -1}));
    ASSERT_EQ(queue.ClaimNext(2).size(), 2u);
    queue.MarkHanded(ids[0]);
  }
  // The power cut took the journal's unsynced lines with it.
  std::filesystem::remove(path + "-handed");
  SqliteQueue queue(path, "", "boot-2");
  EXPECT_EQ(queue.MarkUnknown(), 2);
  for (const std::string& id : ids) EXPECT_EQ(queue.Find(id).value()["state"], "unknown");
  EXPECT_TRUE(queue.ClaimNext(2).empty());
}

// Half of what it is asked to write, as a filling disk does.
ssize_t WriteHalf(int fd, const void* data, size_t size) { return write(fd, data, size / 2); }

// A journal the disk refuses: the send is refused (nothing reaches the
// module unnamed) and the queue says why; a short write leaves no torn line
// to hide the ids written after it, so a restart still tells them apart.
TEST(SqliteQueue, AJournalTheDiskRefusesStopsTheSendAndStaysWhole) {
  testing::TempFolder folder{"queue"};
  const std::string path = folder.File("queue.db");
  std::vector<std::string> ids;
  {
    SqliteQueue queue(path, "", "boot-1");
    queue.MarkUnknown();
    for (const char* text : {"first", "second", "taken"})
      ids.push_back(queue.Accept({"+15550100", text, "", "", "", -1}));
    ASSERT_EQ(queue.ClaimNext(3).size(), 3u);
    {
      testing::FailNthCall<&platform::SystemCalls::write> full(1, ENOSPC);
      EXPECT_THROW(queue.MarkHanded(ids[0]), std::runtime_error);
    }
    EXPECT_NE(queue.Stats().storage_error.find("queue.db-handed: "), std::string::npos) << queue.Stats().storage_error;
    auto write = platform::g_system_calls.write;
    platform::g_system_calls.write = WriteHalf;
    EXPECT_THROW(queue.MarkHanded(ids[0]), std::runtime_error);
    platform::g_system_calls.write = write;
    queue.MarkHanded(ids[0]);
    queue.MarkHanded(ids[1]);
    EXPECT_EQ(queue.Stats().storage_error, "");
    EXPECT_EQ(folder.Read("queue.db-handed"), ids[0] + "\n" + ids[1] + "\n");
  }
  SqliteQueue queue(path, "", "boot-1");
  EXPECT_EQ(queue.MarkUnknown(), 2);
  EXPECT_EQ(queue.Find(ids[0]).value()["state"], "unknown");
  EXPECT_EQ(queue.Find(ids[1]).value()["state"], "unknown");
  EXPECT_EQ(queue.Find(ids[2]).value()["state"], "queued");
}

// A queue written before scheduling opens with its messages due at once.
TEST(SqliteQueue, AQueueFromBeforeSchedulingKeepsItsMessages) {
  testing::TempFolder folder{"queue"};
  const std::string path = folder.File("queue.db");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE messages(seq INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT UNIQUE NOT NULL, "
                         "recipient TEXT NOT NULL, body TEXT NOT NULL, sender TEXT NOT NULL, client_ref TEXT NOT NULL, "
                         "callback_url TEXT NOT NULL, kannel_dlr_mask INTEGER NOT NULL, state TEXT NOT NULL, "
                         "code INTEGER, code_name TEXT, settled_ms INTEGER);"
                         "INSERT INTO messages(id, recipient, body, sender, client_ref, callback_url, kannel_dlr_mask, "
                         "state) VALUES('0123456789abcdef0123456789abcdef', '+15550100', 'old', '', '', '', -1, "
                         "'queued');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  SqliteQueue queue(path, "", "boot-1");
  queue.MarkUnknown();
  EXPECT_EQ(queue.Stats().messages_per_state["queued"], 1);
  std::vector<OutgoingMessage> claimed = queue.ClaimNext(10);
  ASSERT_EQ(claimed.size(), 1u);
  EXPECT_EQ(claimed[0].text, "old");
  nlohmann::json old = queue.Find(claimed[0].id).value();
  EXPECT_EQ(old["priority"], 0);
  EXPECT_FALSE(old.contains("parts"));
  EXPECT_FALSE(old.contains("send_at"));
  queue.RecordCode(claimed[0].id, 5, "failed");
  ExpectCountsMatchRows(queue, [&](const std::string& sql) { return Count(path, sql); });
  EXPECT_EQ(queue.Stats().last_errors.size(), 1u);
}

}  // namespace
}  // namespace talvenix::daemon
