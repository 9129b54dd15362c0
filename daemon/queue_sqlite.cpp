// SPDX-License-Identifier: Apache-2.0
#include "daemon/queue_sqlite.hpp"

#include <cctype>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>

#include "daemon/crypto.hpp"
#include "daemon/message_states.hpp"
#include "daemon/sqlite_statement.hpp"
#include "daemon/status_reports.hpp"
#include "daemon/webhook_events.hpp"

namespace talvenix::daemon {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string IsoTime(int64_t ms) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
  return text;
}

namespace {

// A line of the journal: one id as TimeOrderedId makes them.
bool IsJournalLine(const std::string& line) {
  if (line.size() != 32) return false;
  for (char c : line)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// The event of a status report tied to its message.
constexpr const char* kReportEvent = "status_report";

}  // namespace

std::string CurrentBootId() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(in, id);
  return id;
}

SqliteQueue::SqliteQueue(const std::string& path, std::string default_webhook_url, std::string boot_id,
                         std::function<int64_t()> clock)
    : default_webhook_url_(std::move(default_webhook_url)), boot_id_(std::move(boot_id)), clock_(std::move(clock)) {
  MakeDatabasePrivate(path);
  if (platform::Error e = journal_.Open(path + "-handed"))
    throw std::runtime_error(journal_.path() + ": " + e.Describe());
  writer_.db = OpenDatabase(path);
  try {
    CreateSchema();
    for (auto& reader : readers_) {
      reader = std::make_unique<SqliteConnection>();
      reader->db = OpenDatabase(path);
      free_readers_.push_back(reader.get());
    }
  } catch (...) {
    writer_.Close();
    throw;
  }
  commits_.Start("queue writer");
}

SqliteQueue::~SqliteQueue() {
  commits_.Stop();
  for (auto& reader : readers_)
    if (reader) reader->Close();
  writer_.Close();
}

void SqliteQueue::EmptyJournalIfSaved() {
  // An event written again later may be the outcome of a handed message:
  // until it is on disk, its id must stay.
  if (commits_.UnsavedEvents() > 0) return;
  std::lock_guard lock(journal_mutex_);
  if (platform::Error e = journal_.Clear()) throw std::runtime_error(journal_.path() + ": " + e.Describe());
  journal_error_.clear();
}

void SqliteQueue::MarkHanded(const std::string& id) {
  std::lock_guard lock(journal_mutex_);
  // In the kernel's hands when it returns, which a crash of the daemon cannot undo.
  if (platform::Error e = journal_.Append(id)) {
    journal_error_ = journal_.path() + ": " + e.Describe();
    throw StorageError(journal_error_);
  }
  journal_error_.clear();
}

void SqliteQueue::AddEvent(int64_t message_seq, const std::string& state, std::optional<int> code,
                           const std::string& detail) {
  Statement(writer_, "INSERT INTO message_events(message_seq, at_ms, state, code, detail) VALUES(?,?,?,?,?)")
      .Bind(1, message_seq)
      .Bind(2, clock_())
      .Bind(3, state)
      .Bind(4, code)
      .Bind(5, detail)
      .Step();
}

void SqliteQueue::AddWebhook(int64_t message_seq, const std::optional<EventDelivery>& delivery) {
  if (!delivery) return;
  int64_t now = clock_();
  Statement(writer_,
            "INSERT INTO webhooks(event_id, message_seq, method, url, body, created_ms, next_ms) VALUES(?,?,?,?,?,?,?)")
      .Bind(1, TimeOrderedId(now))
      .Bind(2, message_seq)
      .Bind(3, delivery->method)
      .Bind(4, delivery->url)
      .Bind(5, delivery->body)
      .Bind(6, now)
      .Bind(7, now)
      .Step();
}

void SqliteQueue::AddMessageWebhook(int64_t seq, int kannel_kind, const std::string& kannel_answer,
                                    nlohmann::json body) {
  Statement m(writer_, "SELECT id, client_ref, callback_url, kannel_dlr_mask, recipient FROM messages WHERE seq=?");
  m.Bind(1, seq);
  if (!m.Step()) return;
  const EventTarget target{m.Text(0), m.Text(1), m.Text(2), m.Text(4), m.Int(3)};
  AddWebhook(seq, MessageEventDelivery(target, kannel_kind, kannel_answer, std::move(body), default_webhook_url_));
}

void SqliteQueue::AddOutcomeWebhook(int64_t seq, const std::string& state, std::optional<int> code,
                                    const std::string& code_name) {
  AddMessageWebhook(seq, OutcomeKannelKind(state), code_name, OutcomeEvent(state, code, code_name, clock_()));
}

std::vector<std::string> SqliteQueue::AcceptAll(const std::vector<NewMessage>& messages) {
  std::vector<std::string> ids;
  for (size_t i = 0; i < messages.size(); ++i) ids.push_back(TimeOrderedId(clock_()));
  // One job: a failure takes back every one of them.
  Submit(
      [&] {
        for (size_t i = 0; i < messages.size(); ++i) {
          const NewMessage& m = messages[i];
          Statement(
              writer_,
              "INSERT INTO messages(id, recipient, body, sender, client_ref, callback_url, kannel_dlr_mask, "
              "state, parts, not_before_ms, expires_ms, priority, tenant) VALUES(?,?,?,?,?,?,?,'queued',?,?,?,?,?)")
              .Bind(1, ids[i])
              .Bind(2, m.to)
              .Bind(3, m.text)
              .Bind(4, m.from)
              .Bind(5, m.client_ref)
              .Bind(6, m.callback_url)
              .Bind(7, int64_t{m.kannel_dlr_mask})
              .Bind(8, m.parts > 0 ? std::optional<int>(m.parts) : std::nullopt)
              .Bind(9, m.send_at_ms)
              .Bind(10, m.expires_ms > 0 ? std::optional<int64_t>(m.expires_ms) : std::nullopt)
              .Bind(11, int64_t{m.priority})
              .Bind(12, m.tenant)
              .Step();
          AddEvent(sqlite3_last_insert_rowid(writer_.db), "queued", std::nullopt, "");
        }
        std::map<std::string, int64_t> per_tenant;
        for (const NewMessage& m : messages) ++per_tenant[m.tenant];
        for (const auto& [tenant, count] : per_tenant)
          Statement(writer_,
                    "INSERT INTO tenant_days VALUES(?,?,?) "
                    "ON CONFLICT(tenant, day) DO UPDATE SET accepted=accepted+excluded.accepted")
              .Bind(1, tenant)
              .Bind(2, clock_() / 86400000)
              .Bind(3, count)
              .Step();
      },
      Sync::kDisk)
      .get();
  Woken();
  return ids;
}

void SqliteQueue::ExpireDue(int64_t now_ms) {
  std::vector<int64_t> seqs;
  {
    Statement due(writer_,
                  "SELECT seq FROM messages INDEXED BY messages_expiring WHERE state='queued' AND expires_ms<=?");
    due.Bind(1, now_ms);
    while (due.Step()) seqs.push_back(due.Int(0));
  }
  for (int64_t seq : seqs) {
    Statement(writer_, "UPDATE messages SET state='expired', settled_ms=? WHERE seq=?")
        .Bind(1, now_ms)
        .Bind(2, seq)
        .Step();
    AddEvent(seq, "expired", std::nullopt, "its time ran out before it was handed to the module");
    AddOutcomeWebhook(seq, "expired", std::nullopt, "expired");
  }
  if (!seqs.empty())
    Statement(writer_,
              "INSERT INTO outcome_totals(state, code, count) VALUES('expired', 0, ?) "
              "ON CONFLICT(state, code) DO UPDATE SET count=count+excluded.count")
        .Bind(1, static_cast<int64_t>(seqs.size()))
        .Step();
}

void SqliteQueue::ExpireOverdue() {
  Submit([this] { ExpireDue(clock_()); }).get();
}

std::future<std::vector<OutgoingMessage>> SqliteQueue::ClaimAhead(int limit) {
  auto claimed = std::make_shared<std::vector<OutgoingMessage>>();
  std::future<void> committed = Submit(
      [this, claimed, limit] {
        const int64_t now = clock_();
        ExpireDue(now);
        // Named indexes: without statistics the planner would sort every
        // queued message at each claim.
        Statement next(writer_,
                       "SELECT seq, id, recipient, body, sender FROM messages INDEXED BY messages_claim "
                       "WHERE state='queued' AND not_before_ms<=? "
                       "ORDER BY priority DESC, seq LIMIT ?");
        next.Bind(1, now).Bind(2, int64_t{limit});
        std::vector<int64_t> seqs;
        while (next.Step()) {
          seqs.push_back(next.Int(0));
          claimed->push_back({next.Text(1), next.Text(2), next.Text(3), next.Text(4)});
        }
        for (int64_t seq : seqs) {
          Statement(writer_, "UPDATE messages SET state='sending' WHERE seq=?").Bind(1, seq).Step();
          AddEvent(seq, "sending", std::nullopt, "");
        }
      },
      Sync::kDisk);  // on disk before the first send: a power cut cannot make a sent message queued
  return std::async(std::launch::deferred, [committed = std::move(committed), claimed]() mutable {
    committed.get();
    return std::move(*claimed);
  });
}

std::vector<OutgoingMessage> SqliteQueue::ClaimNext(int limit) {
  std::vector<OutgoingMessage> claimed = ClaimAhead(limit).get();
  // The codes of every earlier send were submitted before this claim, so they
  // are committed now, unless a failed write holds some for writing again:
  // the journal's ids are needed no more.
  EmptyJournalIfSaved();
  return claimed;
}

void SqliteQueue::RecordCode(const std::string& id, int32_t code, const std::string& code_name) {
  Submit(
      [this, id, code, code_name] {
        Statement find(writer_, "SELECT seq, state FROM messages WHERE id=?");
        find.Bind(1, id);
        if (!find.Step()) return;
        int64_t seq = find.Int(0);
        std::optional<std::string> next = StateAfterCode(find.Text(1), code);
        if (!next) return;
        if (*next == "pending") {
          Statement(writer_, "UPDATE messages SET state='pending', code=112, code_name=? WHERE seq=?")
              .Bind(1, code_name)
              .Bind(2, seq)
              .Step();
          AddEvent(seq, "pending", 112, code_name);
          return;
        }
        const std::string& final_state = *next;
        Statement(writer_, "UPDATE messages SET state=?, code=?, code_name=?, settled_ms=? WHERE seq=?")
            .Bind(1, final_state)
            .Bind(2, int64_t{code})
            .Bind(3, code_name)
            .Bind(4, clock_())
            .Bind(5, seq)
            .Step();
        AddEvent(seq, final_state, code, code_name);
        // Running totals, so that a scrape never counts the whole history.
        Statement(writer_,
                  "INSERT INTO outcome_totals(state, code, count) VALUES(?,?,1) "
                  "ON CONFLICT(state, code) DO UPDATE SET count=count+1")
            .Bind(1, final_state)
            .Bind(2, int64_t{code})
            .Step();
        AddOutcomeWebhook(seq, final_state, code, code_name);
      },
      Sync::kLater);
}

void SqliteQueue::RecordIncoming(const IncomingMessage& m) {
  Submit([this, body = IncomingEvent(m, clock_())] { AddWebhook(0, LooseEventDelivery(body, default_webhook_url_)); },
         Sync::kLater);
}

void SqliteQueue::RecordStatusReport(const StatusReport& r) {
  Submit(
      [this, r, now = clock_()] {
        if (std::optional<ReportMatch> match = MatchReport(r, now))
          AddMatchedReport(*match, r, now);
        else
          AddWebhook(0, LooseEventDelivery(ReportEvent(r, now), default_webhook_url_));
      },
      Sync::kLater);
}

void SqliteQueue::SetDefaultWebhookUrl(std::string url) {
  // The writer's thread reads it, in its jobs.
  Submit([this, url = std::move(url)] { default_webhook_url_ = url; }).get();
}

void SqliteQueue::Flush() {
  Submit([] {}).get();
}

int SqliteQueue::MarkUnknown() {
  std::set<std::string> journal;
  bool journal_whole = true;  // a line that is no id (a torn write) leaves no id to trust
  {
    std::vector<std::string> lines;
    std::lock_guard lock(journal_mutex_);
    if (platform::Error e = journal_.ReadLines(lines)) throw std::runtime_error(journal_.path() + ": " + e.Describe());
    for (const std::string& id : lines) {
      journal_whole &= IsJournalLine(id);
      journal.insert(id);
    }
  }
  std::vector<int64_t> handed;
  Submit(
      [&] {
        // The journal lives in the kernel's buffers: after a restart of the
        // machine it may have lost ids, so every claimed message counts then.
        bool journal_trusted = false;
        {
          Statement settled(writer_, "SELECT id FROM settled_boot");
          journal_trusted = journal_whole && !boot_id_.empty() && settled.Step() && settled.Text(0) == boot_id_;
        }
        Statement find(writer_,
                       "SELECT seq, id, state FROM messages WHERE state IN ('sending','pending') ORDER BY seq");
        std::vector<int64_t> not_handed;
        while (find.Step()) {
          if (StateAtRestart(find.Text(2), journal_trusted, journal.count(find.Text(1)) > 0) == "unknown")
            handed.push_back(find.Int(0));
          else
            not_handed.push_back(find.Int(0));
        }
        for (int64_t seq : not_handed) {
          Statement(writer_, "UPDATE messages SET state='queued' WHERE seq=?").Bind(1, seq).Step();
          AddEvent(seq, "queued", std::nullopt, "taken but never handed to the module");
        }
        for (int64_t seq : handed) {
          Statement(writer_, "UPDATE messages SET state='unknown', settled_ms=? WHERE seq=?")
              .Bind(1, clock_())
              .Bind(2, seq)
              .Step();
          AddEvent(seq, "unknown", std::nullopt, "the daemon stopped before the module reported an outcome");
          AddOutcomeWebhook(seq, "unknown", std::nullopt, "unknown");
        }
        Statement(writer_, "DELETE FROM settled_boot").Step();
        Statement(writer_, "INSERT INTO settled_boot(id) VALUES(?)").Bind(1, boot_id_).Step();
      },
      Sync::kDisk)
      .get();
  EmptyJournalIfSaved();
  Woken();
  return static_cast<int>(handed.size());
}

RetryResult SqliteQueue::Retry(const std::string& id, const std::string& tenant) {
  RetryResult result = RetryResult::kNotFound;
  Submit(
      [&] {
        Statement find(writer_, "SELECT seq, state FROM messages WHERE id=? AND tenant=?");
        find.Bind(1, id).Bind(2, tenant);
        if (!find.Step()) return;
        std::string state = find.Text(1);
        if (!MayRetry(state)) {
          result = RetryResult::kNotRetryable;
          return;
        }
        Statement(writer_, "UPDATE messages SET state='queued', code=NULL, code_name=NULL, settled_ms=NULL WHERE seq=?")
            .Bind(1, find.Int(0))
            .Step();
        AddEvent(find.Int(0), "queued", std::nullopt, "retry requested");
        result = RetryResult::kQueued;
      },
      Sync::kDisk)
      .get();
  if (result == RetryResult::kQueued) Woken();
  return result;
}

SqliteQueue::ReaderLease::ReaderLease(SqliteQueue& q) : queue_(q) {
  std::unique_lock lock(q.readers_mutex_);
  q.reader_free_.wait(lock, [&] { return !q.free_readers_.empty(); });
  connection_ = q.free_readers_.back();
  q.free_readers_.pop_back();
}

void SqliteQueue::ReaderLease::Snapshot() {
  Exec(connection_->db, "BEGIN");
  snapshot_ = true;
}

SqliteQueue::ReaderLease::~ReaderLease() {
  if (snapshot_) sqlite3_exec(connection_->db, "COMMIT", nullptr, nullptr, nullptr);
  {
    std::lock_guard lock(queue_.readers_mutex_);
    queue_.free_readers_.push_back(connection_);
  }
  queue_.reader_free_.notify_one();
}

int64_t SqliteQueue::AcceptedOnDay(const std::string& tenant, int64_t day) {
  ReaderLease reader(*this);
  Statement count(*reader, "SELECT accepted FROM tenant_days WHERE tenant=? AND day=?");
  return count.Bind(1, tenant).Bind(2, day).Step() ? count.Int(0) : 0;
}

std::optional<nlohmann::json> SqliteQueue::Find(const std::string& id, const std::string& tenant) {
  ReaderLease reader(*this);
  reader.Snapshot();  // the message and its events as of one moment
  Statement m(*reader,
              "SELECT seq, recipient, sender, client_ref, state, code, code_name, parts, not_before_ms, expires_ms, "
              "priority FROM messages WHERE id=? AND tenant=?");
  m.Bind(1, id).Bind(2, tenant);
  if (!m.Step()) return std::nullopt;
  nlohmann::json out = {{"id", id},           {"to", m.Text(1)},      {"from", m.Text(2)}, {"client_ref", m.Text(3)},
                        {"state", m.Text(4)}, {"priority", m.Int(10)}};
  if (!m.IsNull(5)) {
    out["code"] = m.Int(5);
    out["code_name"] = m.Text(6);
  }
  if (!m.IsNull(7)) out["parts"] = m.Int(7);
  if (m.Int(8) > 0) out["send_at"] = IsoTime(m.Int(8));
  if (!m.IsNull(9)) out["valid_until"] = IsoTime(m.Int(9));
  nlohmann::json events = nlohmann::json::array();
  Statement e(*reader, "SELECT at_ms, state, code, detail FROM message_events WHERE message_seq=? ORDER BY rowid");
  e.Bind(1, m.Int(0));
  while (e.Step()) {
    nlohmann::json event = {{"state", e.Text(1)}, {"at", IsoTime(e.Int(0))}};
    if (!e.IsNull(2)) event["code"] = e.Int(2);
    // A status report's fields are stored as an object.
    nlohmann::json fields = e.Text(1) == kReportEvent ? nlohmann::json::parse(e.Text(3), nullptr, false) : nullptr;
    if (fields.is_object())
      event.update(fields);
    else if (!e.Text(3).empty())
      event["detail"] = e.Text(3);
    events.push_back(std::move(event));
  }
  out["events"] = std::move(events);
  return out;
}

std::vector<WebhookDelivery> SqliteQueue::DueWebhooks(int64_t now_ms, int limit, const WebhookSkip& skip) {
  ReaderLease reader(*this);
  // A stored URL is canonical, so its receiver's origin is followed by "/".
  nlohmann::json origins = nlohmann::json::array();
  for (const std::string& origin : skip.origins) origins.push_back(origin + "/");
  Statement due(*reader,
                "SELECT event_id, method, url, body, attempts, created_ms FROM webhooks "
                "WHERE state='due' AND next_ms<=?1 AND event_id NOT IN (SELECT value FROM json_each(?2)) "
                "AND NOT EXISTS (SELECT 1 FROM json_each(?3) WHERE substr(url, 1, length(value))=value) "
                "ORDER BY next_ms, seq LIMIT ?4");
  due.Bind(1, now_ms).Bind(2, EventText(skip.events)).Bind(3, EventText(origins)).Bind(4, int64_t{limit});
  std::vector<WebhookDelivery> out;
  while (due.Step())
    out.push_back({due.Text(0), due.Text(1), due.Text(2), due.Text(3), static_cast<int>(due.Int(4)), due.Int(5)});
  return out;
}

void SqliteQueue::WebhookAttempted(const std::string& event_id, WebhookOutcome outcome, int64_t next_ms,
                                   const std::string& error) {
  Submit([&] {
    const char* state = outcome == WebhookOutcome::kDelivered ? "delivered"
                        : outcome == WebhookOutcome::kExpired ? "expired"
                        : outcome == WebhookOutcome::kFailed  ? "failed"
                                                              : "due";
    // A settled event's next_ms is when it settled: retention goes by it.
    Statement(writer_, "UPDATE webhooks SET state=?, attempts=attempts+1, next_ms=?, last_error=? WHERE event_id=?")
        .Bind(1, std::string(state))
        .Bind(2, outcome == WebhookOutcome::kDueAgain ? next_ms : clock_())
        .Bind(3, error)
        .Bind(4, event_id)
        .Step();
  }).get();
}

QueueStats SqliteQueue::Stats() {
  QueueStats stats;
  stats.storage_error = commits_.StorageErrorNow();
  if (stats.storage_error.empty()) {
    std::lock_guard lock(journal_mutex_);
    stats.storage_error = journal_error_;
  }
  ReaderLease reader(*this);
  reader.Snapshot();  // the counts add up
  Statement counts(*reader, "SELECT what, count FROM running_counts WHERE count<>0");
  while (counts.Step()) {
    const std::string what = counts.Text(0);
    if (what.compare(0, 9, "messages.") == 0) {
      stats.messages_per_state[what.substr(9)] = counts.Int(1);
      stats.accepted += counts.Int(1);
    } else if (what == "webhooks.due") {
      stats.webhook_backlog = counts.Int(1);
    }
  }
  Statement deleted(*reader, "SELECT count FROM deleted_totals WHERE what='messages'");
  if (deleted.Step()) stats.accepted += deleted.Int(0);
  Statement outcomes(*reader, "SELECT state, code, count FROM outcome_totals");
  while (outcomes.Step()) {
    if (outcomes.Text(0) == "sent")
      stats.sent_total += outcomes.Int(2);
    else if (outcomes.Text(0) == "expired")
      stats.expired_total += outcomes.Int(2);
    else
      stats.failed_per_code[static_cast<int>(outcomes.Int(1))] = outcomes.Int(2);
  }
  Statement tenants(*reader, "SELECT tenant, what, count FROM tenant_totals");
  while (tenants.Step()) stats.tenant_totals[tenants.Text(0)][tenants.Text(1)] = tenants.Int(2);
  Statement errors(*reader, "SELECT at_ms, message_id, state, code, detail FROM recent_errors ORDER BY rowid DESC");
  while (errors.Step()) {
    std::string line = IsoTime(errors.Int(0)) + " " + errors.Text(1) + " " + errors.Text(2);
    if (!errors.IsNull(3)) line += " " + std::to_string(errors.Int(3));
    line += " " + errors.Text(4);
    stats.last_errors.push_back(line);
  }
  // The newest failed attempts of events still due, and of those given up:
  // each query walks its state's index from the newest and stops at five.
  for (const char* sql : {"SELECT next_ms, url, attempts, state, last_error FROM webhooks "
                          "WHERE state='due' AND attempts>0 ORDER BY next_ms DESC LIMIT 5",
                          "SELECT next_ms, url, attempts, state, last_error FROM webhooks "
                          "WHERE state='expired' ORDER BY next_ms DESC LIMIT 5",
                          "SELECT next_ms, url, attempts, state, last_error FROM webhooks "
                          "WHERE state='failed' ORDER BY next_ms DESC LIMIT 5"}) {
    Statement failures(*reader, sql);
    while (failures.Step())
      stats.webhook_failures.push_back(
          {failures.Int(0), failures.Text(1), static_cast<int>(failures.Int(2)), failures.Text(3), failures.Text(4)});
  }
  return stats;
}

DeletedCounts SqliteQueue::DeleteSettled(int64_t before_ms, int limit) {
  DeletedCounts deleted;
  Submit([&] {
    std::vector<int64_t> seqs;
    {
      Statement old(writer_, "SELECT seq FROM messages WHERE settled_ms<? ORDER BY settled_ms LIMIT ?");
      old.Bind(1, before_ms).Bind(2, int64_t{limit});
      while (old.Step()) seqs.push_back(old.Int(0));
    }
    for (int64_t seq : seqs) {
      Statement(writer_, "DELETE FROM message_events WHERE message_seq=?").Bind(1, seq).Step();
      Statement(writer_, "DELETE FROM message_references WHERE message_seq=?").Bind(1, seq).Step();
      Statement(writer_, "DELETE FROM messages WHERE seq=?").Bind(1, seq).Step();
    }
    deleted.messages = static_cast<int64_t>(seqs.size());
    // Stats counts every message ever accepted: the deleted ones too.
    if (deleted.messages > 0)
      Statement(writer_,
                "INSERT INTO deleted_totals(what, count) VALUES('messages', ?) "
                "ON CONFLICT(what) DO UPDATE SET count=count+excluded.count")
          .Bind(1, deleted.messages)
          .Step();
    Statement(writer_,
              "DELETE FROM webhooks WHERE seq IN (SELECT seq FROM webhooks "
              "WHERE state IN ('delivered','expired','failed') AND next_ms<? LIMIT ?)")
        .Bind(1, before_ms)
        .Bind(2, int64_t{limit})
        .Step();
    deleted.webhooks = sqlite3_changes(writer_.db);
    // A daily cap needs today's count alone; yesterday's stays for a day's overlap.
    Statement(writer_, "DELETE FROM tenant_days WHERE day < ?").Bind(1, clock_() / 86400000 - 1).Step();
    if (deleted.messages > 0 || deleted.webhooks > 0) ReclaimSpace();
  }).get();
  return deleted;
}

void SqliteQueue::ReclaimSpace() {
  // The pages one sweep frees are what the next hour's messages fill again:
  // giving them back only for the file to grow once more is wasted writing.
  // Only when a quarter of the file is free (the first sweep over a long
  // history, or less traffic than before) does it shrink, a bounded number
  // of pages per job (the file itself shrinks at the next checkpoint). A
  // database made without auto_vacuum ignores this and reuses its free pages.
  int64_t free_pages = 0, pages = 0;
  {
    Statement count(writer_, "SELECT freelist_count, page_count FROM pragma_freelist_count, pragma_page_count");
    if (count.Step()) {
      free_pages = count.Int(0);
      pages = count.Int(1);
    }
  }
  if (free_pages * 4 > pages) Exec(writer_.db, "PRAGMA incremental_vacuum(500)");
}

// ---- Status reports tied to their messages ------------------------------------

void SqliteQueue::RecordReferences(const std::string& id, const SentReferences& sent) {
  Submit(
      [this, id, sent, now = clock_()] {
        Statement find(writer_, "SELECT seq FROM messages WHERE id=?");
        find.Bind(1, id);
        if (!find.Step()) return;
        for (const auto& [part, reference] : sent.references)
          Statement(writer_,
                    "INSERT INTO message_references(message_seq, comport, reference, part, parts, recipient, at_ms) "
                    "VALUES(?,?,?,?,?,?,?)")
              .Bind(1, find.Int(0))
              .Bind(2, int64_t{sent.comport})
              .Bind(3, int64_t{reference})
              .Bind(4, int64_t{part})
              .Bind(5, int64_t{sent.parts})
              .Bind(6, sent.recipient)
              .Bind(7, now)
              .Step();
      },
      Sync::kLater);
}

// The newest use of the report's reference, if the report is about it; one
// left unmatched still reaches the configured URL.
std::optional<SqliteQueue::ReportMatch> SqliteQueue::MatchReport(const StatusReport& r, int64_t now_ms) {
  if (!MayBeTied(r)) return std::nullopt;
  Statement newest(writer_,
                   "SELECT message_seq, part, parts, recipient, at_ms FROM message_references "
                   "WHERE comport=? AND reference=? ORDER BY rowid DESC LIMIT 1");
  newest.Bind(1, int64_t{r.line}).Bind(2, int64_t{r.reference});
  if (!newest.Step() || !ReportsOn(r, now_ms, newest.Int(4), newest.Text(3))) return std::nullopt;
  return ReportMatch{newest.Int(0), static_cast<uint32_t>(newest.Int(1)), static_cast<uint32_t>(newest.Int(2))};
}

void SqliteQueue::AddMatchedReport(const ReportMatch& match, const StatusReport& r, int64_t now_ms) {
  const TiedReport tied = TieReport(r, match.part, match.parts);
  AddEvent(match.seq, kReportEvent, std::nullopt, EventText(tied.fields));
  nlohmann::json body = ReportEvent(r, now_ms);
  body.update(tied.fields);
  AddMessageWebhook(match.seq, tied.kannel_kind, tied.kannel_answer, std::move(body));
}

}  // namespace talvenix::daemon
