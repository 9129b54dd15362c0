// SPDX-License-Identifier: Apache-2.0
#include "daemon/queue_postgresql.hpp"

#include <poll.h>
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "daemon/crypto.hpp"
#include "daemon/message_states.hpp"
#include "daemon/status_reports.hpp"

namespace talvenix::daemon {
namespace {

constexpr const char* kReportEvent = "status_report";
constexpr const char* kWorkChannel = "talvenix_work";
// A webhook attempt takes at most 300 s ([webhook] timeout_seconds): an
// event claimed longer ago was lost with its daemon.
constexpr int64_t kWebhookLeaseMs = 10 * 60 * 1000;
constexpr auto kHeartbeat = std::chrono::seconds(5);

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// The advisory lock that keeps a daemon's name its own while it runs.
constexpr const char* kTakeName = "SELECT pg_try_advisory_lock(hashtext('talvenixd daemon ' || $1))";

}  // namespace

PostgresqlQueue::PostgresqlQueue(PostgresqlSettings settings, std::string default_webhook_url,
                                 std::function<int64_t()> clock)
    : settings_(std::move(settings)),
      default_webhook_url_(std::move(default_webhook_url)),
      clock_(std::move(clock)),
      writer_(settings_.connection, settings_.name) {
  if (settings_.name.empty()) throw std::runtime_error("the daemon needs a name in the fleet ([queue] name)");
  CreateSchema();
  auto watcher = std::make_unique<PgConnection>(settings_.connection, settings_.name);
  if (watcher->Exec(kTakeName, {Pg(settings_.name)}).Text(0, 0) != "t")
    throw std::runtime_error("another talvenixd named " + settings_.name +
                             " uses this queue now; give each daemon its own [queue] name");
  const int64_t now = clock_();
  writer_.Exec(
      "INSERT INTO daemons VALUES($1,$2,$3,$4,$5,$5) ON CONFLICT(name) DO UPDATE SET grp=$2, gateway=$3, "
      "version=$4, started_ms=$5, last_seen_ms=$5",
      {Pg(settings_.name), Pg(settings_.group), Pg(settings_.gateway), Pg(TALVENIX_VERSION), Pg(now)});
  commits_.Start("queue writer");
  Heartbeat();
  watcher_ = std::thread([this, listener = std::shared_ptr<PgConnection>(std::move(watcher))] {
    pthread_setname_np(pthread_self(), "queue watcher");
    Watch(*listener);
  });
}

PostgresqlQueue::~PostgresqlQueue() {
  {
    std::lock_guard lock(work_mutex_);
    stopping_ = true;
  }
  work_cv_.notify_all();
  if (watcher_.joinable()) watcher_.join();
  commits_.Stop();
}

// ---- The writer's batches ----------------------------------------------------

void PostgresqlQueue::RunBatch(const std::vector<Job*>& jobs, std::vector<std::exception_ptr>& failures) {
  // Jobs seldom fail: the batch runs without savepoints, and only a batch
  // with a failing job runs again, each job under a savepoint of its own.
  // Jobs can run twice: each starts its results afresh.
  auto rollback = [this] {
    if (!writer_.Lost()) PQclear(PQexec(writer_.raw(), "ROLLBACK"));
  };
  try {
    writer_.ExecScript("BEGIN");
    bool failed = false;
    for (Job* job : jobs) {
      try {
        (*job)();
      } catch (const StorageError&) {
        throw;
      } catch (...) {
        failed = true;
        break;
      }
    }
    if (!failed) {
      writer_.ExecScript("COMMIT");
      return;
    }
    rollback();
    writer_.ExecScript("BEGIN");
    for (size_t i = 0; i < jobs.size(); ++i) {
      writer_.ExecScript("SAVEPOINT job");
      try {
        (*jobs[i])();
        writer_.ExecScript("RELEASE job");
      } catch (const StorageError&) {
        throw;
      } catch (...) {
        failures[i] = std::current_exception();
        writer_.ExecScript("ROLLBACK TO job; RELEASE job");
      }
    }
    writer_.ExecScript("COMMIT");
  } catch (...) {
    rollback();
    for (auto& f : failures) f = std::current_exception();
  }
}

void PostgresqlQueue::Notify() { writer_.Exec("SELECT pg_notify($1, '')", {Pg(kWorkChannel)}); }

void PostgresqlQueue::AddEvent(int64_t seq, const std::string& state, std::optional<int> code,
                               const std::string& detail) {
  writer_.Exec("INSERT INTO message_events(message_seq, at_ms, state, code, detail) VALUES($1,$2,$3,$4,$5)",
               {Pg(seq), Pg(clock_()), Pg(state), code ? Pg(*code) : std::nullopt, Pg(detail)});
}

void PostgresqlQueue::AddWebhook(int64_t seq, const std::optional<EventDelivery>& delivery) {
  if (!delivery) return;
  const int64_t now = clock_();
  writer_.Exec(
      "INSERT INTO webhooks(event_id, message_seq, method, url, body, created_ms, next_ms) "
      "VALUES($1,$2,$3,$4,$5,$6,$6)",
      {Pg(TimeOrderedId(now)), seq > 0 ? Pg(seq) : std::nullopt, Pg(delivery->method), Pg(delivery->url),
       Pg(delivery->body), Pg(now)});
}

void PostgresqlQueue::AddMessageWebhook(int64_t seq, int kannel_kind, const std::string& kannel_answer,
                                        nlohmann::json body) {
  PgResult m = writer_.Exec(
      "SELECT id, client_ref, callback_url, kannel_dlr_mask, recipient FROM messages WHERE seq=$1", {Pg(seq)});
  if (m.Rows() == 0) return;
  const EventTarget target{m.Text(0, 0), m.Text(0, 1), m.Text(0, 2), m.Text(0, 4), m.Int(0, 3)};
  AddWebhook(seq, MessageEventDelivery(target, kannel_kind, kannel_answer, std::move(body), default_webhook_url_));
}

void PostgresqlQueue::AddOutcomeWebhook(int64_t seq, const std::string& state, std::optional<int> code,
                                        const std::string& code_name) {
  AddMessageWebhook(seq, OutcomeKannelKind(state), code_name, OutcomeEvent(state, code, code_name, clock_()));
}

void PostgresqlQueue::CountOutcome(const std::string& state, int64_t code, int64_t count) {
  writer_.Exec(
      "INSERT INTO outcome_totals VALUES(current_setting('talvenix.daemon'),$1,$2,$3) "
      "ON CONFLICT(daemon, state, code) DO UPDATE SET count=outcome_totals.count+excluded.count",
      {Pg(state), Pg(code), Pg(count)});
}

// ---- Messages -----------------------------------------------------------------

std::vector<std::string> PostgresqlQueue::AcceptAll(const std::vector<NewMessage>& messages) {
  std::vector<std::string> ids;
  for (size_t i = 0; i < messages.size(); ++i) ids.push_back(TimeOrderedId(clock_()));
  Submit(
      [&] {
        std::map<std::string, int64_t> per_tenant;
        for (size_t i = 0; i < messages.size(); ++i) {
          const NewMessage& m = messages[i];
          writer_.Exec(
              "WITH m AS (INSERT INTO messages(id, recipient, body, sender, client_ref, callback_url, "
              "kannel_dlr_mask, state, parts, not_before_ms, expires_ms, priority, tenant, grp) "
              "VALUES($1,$2,$3,$4,$5,$6,$7,'queued',$8,$9,$10,$11,$12,$13) RETURNING seq) "
              "INSERT INTO message_events(message_seq, at_ms, state, detail) SELECT seq, $14, 'queued', '' FROM m",
              {Pg(ids[i]), Pg(m.to), Pg(m.text), Pg(m.from), Pg(m.client_ref), Pg(m.callback_url),
               Pg(m.kannel_dlr_mask), m.parts > 0 ? Pg(m.parts) : std::nullopt, Pg(m.send_at_ms),
               m.expires_ms > 0 ? Pg(m.expires_ms) : std::nullopt, Pg(m.priority), Pg(m.tenant), Pg(m.group),
               Pg(clock_())});
          ++per_tenant[m.tenant];
        }
        for (const auto& [tenant, count] : per_tenant)
          writer_.Exec(
              "INSERT INTO tenant_days VALUES(current_setting('talvenix.daemon'),$1,$2,$3) "
              "ON CONFLICT(daemon, tenant, day) DO UPDATE SET accepted=tenant_days.accepted+excluded.accepted",
              {Pg(tenant), Pg(clock_() / 86400000), Pg(count)});
        Notify();
      },
      Sync::kDisk)
      .get();
  Woken();
  return ids;
}

void PostgresqlQueue::ExpireDue(int64_t now_ms) {
  PgResult expired = writer_.Exec(
      "UPDATE messages SET state='expired', settled_ms=$1 WHERE seq IN (SELECT seq FROM messages "
      "WHERE state='queued' AND expires_ms<=$1 FOR UPDATE SKIP LOCKED) RETURNING seq",
      {Pg(now_ms)});
  for (int i = 0; i < expired.Rows(); ++i) {
    AddEvent(expired.Int(i, 0), "expired", std::nullopt, "its time ran out before it was handed to the module");
    AddOutcomeWebhook(expired.Int(i, 0), "expired", std::nullopt, "expired");
  }
  if (expired.Rows() > 0) CountOutcome("expired", 0, expired.Rows());
}

void PostgresqlQueue::ExpireOverdue() {
  Submit([this] { ExpireDue(clock_()); }).get();
}

std::future<std::vector<OutgoingMessage>> PostgresqlQueue::ClaimAhead(int limit) {
  auto claimed = std::make_shared<std::vector<OutgoingMessage>>();
  std::future<void> committed = Submit(
      [this, claimed, limit] {
        claimed->clear();
        const int64_t now = clock_();
        ExpireDue(now);
        // Rows another daemon is claiming are passed over, not waited for.
        PgResult rows = writer_.Exec(
            "WITH due AS (SELECT seq FROM messages WHERE state='queued' AND not_before_ms<=$1 AND grp IN ('', $2) "
            "ORDER BY priority DESC, seq LIMIT $3 FOR UPDATE SKIP LOCKED), "
            "claimed AS (UPDATE messages m SET state='sending', owner=$4, handed=false FROM due WHERE m.seq=due.seq "
            "RETURNING m.seq, m.id, m.recipient, m.body, m.sender, m.priority), "
            "events AS (INSERT INTO message_events(message_seq, at_ms, state, detail) "
            "SELECT seq, $1, 'sending', '' FROM claimed) "
            "SELECT id, recipient, body, sender FROM claimed ORDER BY priority DESC, seq",
            {Pg(now), Pg(settings_.group), Pg(limit), Pg(settings_.name)});
        for (int i = 0; i < rows.Rows(); ++i)
          claimed->push_back({rows.Text(i, 0), rows.Text(i, 1), rows.Text(i, 2), rows.Text(i, 3)});
      },
      Sync::kDisk);
  return std::async(std::launch::deferred, [this, committed = std::move(committed), claimed]() mutable {
    committed.get();
    std::lock_guard lock(claims_mutex_);
    for (const OutgoingMessage& m : *claimed) held_claims_.insert(m.id);
    return std::move(*claimed);
  });
}

std::vector<OutgoingMessage> PostgresqlQueue::ClaimNext(int limit) {
  // A claim of this daemon's, not handed, that no caller was given is one
  // whose commit seemed to fail (the server went away before it answered):
  // it goes back to the queue.
  nlohmann::json held = nlohmann::json::array();
  {
    std::lock_guard lock(claims_mutex_);
    for (const std::string& id : held_claims_) held.push_back(id);
  }
  Submit(
      [this, &held] {
        PgResult orphans = writer_.Exec(
            "UPDATE messages SET state='queued', owner=NULL WHERE owner=$1 AND state='sending' AND NOT handed "
            "AND id NOT IN (SELECT jsonb_array_elements_text($2::jsonb)) RETURNING seq",
            {Pg(settings_.name), Pg(held.dump())});
        for (int i = 0; i < orphans.Rows(); ++i)
          AddEvent(orphans.Int(i, 0), "queued", std::nullopt, "taken but never handed to the module");
      },
      Sync::kDisk)
      .get();
  return ClaimAhead(limit).get();
}

void PostgresqlQueue::MarkHanded(const std::string& id) {
  bool ours = true;
  Submit(
      [&] {
        ours = writer_
                   .Exec("UPDATE messages SET handed=true WHERE id=$1 AND owner=$2 AND state='sending'",
                         {Pg(id), Pg(settings_.name)})
                   .Changed() == 1;
      },
      Sync::kDisk)
      .get();
  {
    std::lock_guard lock(claims_mutex_);
    held_claims_.erase(id);
  }
  if (!ours)
    throw ClaimLost("message " + id + " is no longer this daemon's to send: its claim was returned while " +
                    settings_.name + " was not seen");
}

void PostgresqlQueue::RecordCode(const std::string& id, int32_t code, const std::string& code_name) {
  Submit(
      [this, id, code, code_name] {
        PgResult find = writer_.Exec("SELECT seq, state FROM messages WHERE id=$1 FOR UPDATE", {Pg(id)});
        if (find.Rows() == 0) return;
        const int64_t seq = find.Int(0, 0);
        std::optional<std::string> next = StateAfterCode(find.Text(0, 1), code);
        if (!next) return;
        if (*next == "pending") {
          writer_.Exec("UPDATE messages SET state='pending', code=112, code_name=$1 WHERE seq=$2",
                       {Pg(code_name), Pg(seq)});
          AddEvent(seq, "pending", 112, code_name);
          return;
        }
        writer_.Exec("UPDATE messages SET state=$1, code=$2, code_name=$3, settled_ms=$4, owner=NULL WHERE seq=$5",
                     {Pg(*next), Pg(code), Pg(code_name), Pg(clock_()), Pg(seq)});
        AddEvent(seq, *next, code, code_name);
        CountOutcome(*next, code, 1);
        AddOutcomeWebhook(seq, *next, code, code_name);
      },
      Sync::kLater);
}

void PostgresqlQueue::RecordIncoming(const IncomingMessage& m) {
  Submit([this, body = IncomingEvent(m, clock_())] { AddWebhook(0, LooseEventDelivery(body, default_webhook_url_)); },
         Sync::kLater);
}

void PostgresqlQueue::RecordReferences(const std::string& id, const SentReferences& sent) {
  Submit(
      [this, id, sent, now = clock_()] {
        PgResult find = writer_.Exec("SELECT seq FROM messages WHERE id=$1", {Pg(id)});
        if (find.Rows() == 0) return;
        for (const auto& [part, reference] : sent.references)
          writer_.Exec(
              "INSERT INTO message_references(message_seq, comport, reference, part, parts, recipient, at_ms) "
              "VALUES($1,$2,$3,$4,$5,$6,$7)",
              {Pg(find.Int(0, 0)), Pg(sent.comport), Pg(reference), Pg(part), Pg(sent.parts), Pg(sent.recipient),
               Pg(now)});
      },
      Sync::kLater);
}

void PostgresqlQueue::RecordStatusReport(const StatusReport& r) {
  // Whichever daemon received it: the references of every daemon's sends are here.
  Submit(
      [this, r, now = clock_()] {
        if (MayBeTied(r)) {
          PgResult newest = writer_.Exec(
              "SELECT message_seq, part, parts, recipient, at_ms FROM message_references "
              "WHERE comport=$1 AND reference=$2 ORDER BY id DESC LIMIT 1",
              {Pg(r.line), Pg(r.reference)});
          if (newest.Rows() > 0 && ReportsOn(r, now, newest.Int(0, 4), newest.Text(0, 3))) {
            const int64_t seq = newest.Int(0, 0);
            const TiedReport tied =
                TieReport(r, static_cast<uint32_t>(newest.Int(0, 1)), static_cast<uint32_t>(newest.Int(0, 2)));
            AddEvent(seq, kReportEvent, std::nullopt, EventText(tied.fields));
            nlohmann::json body = ReportEvent(r, now);
            body.update(tied.fields);
            AddMessageWebhook(seq, tied.kannel_kind, tied.kannel_answer, std::move(body));
            return;
          }
        }
        AddWebhook(0, LooseEventDelivery(ReportEvent(r, now), default_webhook_url_));
      },
      Sync::kLater);
}

void PostgresqlQueue::Flush() {
  Submit([] {}).get();
}

void PostgresqlQueue::SetDefaultWebhookUrl(std::string url) {
  Submit([this, url = std::move(url)] { default_webhook_url_ = url; }).get();
}

int PostgresqlQueue::SettleClaimsOf(const std::string& owner, const std::string& unknown_detail,
                                    const std::string& queued_detail) {
  // The handed mark is committed before each send: it is always to be trusted.
  PgResult claims = writer_.Exec(
      "SELECT seq, state, handed FROM messages WHERE owner=$1 AND state IN ('sending','pending') ORDER BY seq "
      "FOR UPDATE",
      {Pg(owner)});
  int unknown = 0;
  for (int i = 0; i < claims.Rows(); ++i) {
    const int64_t seq = claims.Int(i, 0);
    if (StateAtRestart(claims.Text(i, 1), true, claims.Text(i, 2) == "t") == "unknown") {
      writer_.Exec("UPDATE messages SET state='unknown', settled_ms=$1, owner=NULL WHERE seq=$2",
                   {Pg(clock_()), Pg(seq)});
      AddEvent(seq, "unknown", std::nullopt, unknown_detail);
      AddOutcomeWebhook(seq, "unknown", std::nullopt, "unknown");
      ++unknown;
    } else {
      writer_.Exec("UPDATE messages SET state='queued', owner=NULL WHERE seq=$1", {Pg(seq)});
      AddEvent(seq, "queued", std::nullopt, queued_detail);
    }
  }
  if (claims.Rows() > unknown) Notify();
  return unknown;
}

int PostgresqlQueue::MarkUnknown() {
  int unknown = 0;
  Submit(
      [&] {
        unknown = SettleClaimsOf(settings_.name, "the daemon stopped before the module reported an outcome",
                                 "taken but never handed to the module");
      },
      Sync::kDisk)
      .get();
  {
    std::lock_guard lock(claims_mutex_);
    held_claims_.clear();
  }
  Woken();
  return unknown;
}

void PostgresqlQueue::Heartbeat() {
  Submit([this] {
    const int64_t now = clock_();
    writer_.Exec("UPDATE daemons SET last_seen_ms=$2 WHERE name=$1", {Pg(settings_.name), Pg(now)});
    PgResult gone = writer_.Exec(
        "SELECT DISTINCT m.owner FROM messages m LEFT JOIN daemons d ON d.name=m.owner "
        "WHERE m.state IN ('sending','pending') AND m.owner<>$1 AND coalesce(d.last_seen_ms, 0) < $2",
        {Pg(settings_.name), Pg(now - int64_t{settings_.lease_s} * 1000)});
    for (int i = 0; i < gone.Rows(); ++i) {
      const std::string owner = gone.Text(i, 0);
      const std::string seconds = std::to_string(settings_.lease_s);
      SettleClaimsOf(owner,
                     "its daemon " + owner + " was not seen for " + seconds +
                         " s before the module reported an outcome; it is not sent again unless retried",
                     "taken by " + owner + ", not seen for " + seconds + " s, and never handed to the module");
    }
    ReadGroups();
  }).get();
}

void PostgresqlQueue::ReadGroups() {
  PgResult groups = writer_.Exec("SELECT DISTINCT grp FROM daemons");
  std::vector<std::string> fresh;
  for (int i = 0; i < groups.Rows(); ++i) fresh.push_back(groups.Text(i, 0));
  std::lock_guard lock(groups_mutex_);
  groups_ = std::move(fresh);
}

bool PostgresqlQueue::HasGroup(const std::string& group) {
  auto known = [&] {
    std::vector<std::string> groups = Groups();
    return std::find(groups.begin(), groups.end(), group) != groups.end();
  };
  if (known()) return true;
  // A daemon of a new group may have started since the last heartbeat.
  Submit([this] { ReadGroups(); }).get();
  return known();
}

void PostgresqlQueue::SetGateway(const std::string& gateway) {
  Submit([&] { writer_.Exec("UPDATE daemons SET gateway=$2 WHERE name=$1", {Pg(settings_.name), Pg(gateway)}); }).get();
}

std::vector<std::string> PostgresqlQueue::Groups() {
  std::lock_guard lock(groups_mutex_);
  std::vector<std::string> groups = groups_;
  if (std::find(groups.begin(), groups.end(), "") == groups.end()) groups.push_back("");
  std::sort(groups.begin(), groups.end());
  return groups;
}

RetryResult PostgresqlQueue::Retry(const std::string& id, const std::string& tenant) {
  RetryResult result = RetryResult::kNotFound;
  Submit(
      [&] {
        result = RetryResult::kNotFound;
        PgResult find =
            writer_.Exec("SELECT seq, state FROM messages WHERE id=$1 AND tenant=$2 FOR UPDATE", {Pg(id), Pg(tenant)});
        if (find.Rows() == 0) return;
        if (!MayRetry(find.Text(0, 1))) {
          result = RetryResult::kNotRetryable;
          return;
        }
        writer_.Exec(
            "UPDATE messages SET state='queued', code=NULL, code_name=NULL, settled_ms=NULL, owner=NULL, "
            "handed=false WHERE seq=$1",
            {Pg(find.Int(0, 0))});
        AddEvent(find.Int(0, 0), "queued", std::nullopt, "retry requested");
        Notify();
        result = RetryResult::kQueued;
      },
      Sync::kDisk)
      .get();
  if (result == RetryResult::kQueued) Woken();
  return result;
}

// ---- Readers --------------------------------------------------------------------

PostgresqlQueue::ReaderLease::ReaderLease(PostgresqlQueue& q) : queue_(q) {
  {
    std::lock_guard lock(q.readers_mutex_);
    if (!q.free_readers_.empty()) {
      connection_ = std::move(q.free_readers_.back());
      q.free_readers_.pop_back();
    }
  }
  if (!connection_) connection_ = std::make_unique<PgConnection>(q.settings_.connection, q.settings_.name);
}

PostgresqlQueue::ReaderLease::~ReaderLease() {
  if (connection_->Lost()) return;
  std::lock_guard lock(queue_.readers_mutex_);
  if (queue_.free_readers_.size() < 4) queue_.free_readers_.push_back(std::move(connection_));
}

int64_t PostgresqlQueue::AcceptedOnDay(const std::string& tenant, int64_t day) {
  ReaderLease reader(*this);
  PgResult count = reader->Exec("SELECT coalesce(sum(accepted), 0) FROM tenant_days WHERE tenant=$1 AND day=$2",
                                {Pg(tenant), Pg(day)});
  return count.Int(0, 0);
}

std::optional<nlohmann::json> PostgresqlQueue::Find(const std::string& id, const std::string& tenant) {
  ReaderLease reader(*this);
  // One statement: the message and its events as of one moment.
  PgResult rows = reader->Exec(
      "SELECT m.recipient, m.sender, m.client_ref, m.state, m.code, m.code_name, m.parts, m.not_before_ms, "
      "m.expires_ms, m.priority, e.at_ms, e.state, e.code, e.detail FROM messages m "
      "LEFT JOIN message_events e ON e.message_seq=m.seq WHERE m.id=$1 AND m.tenant=$2 ORDER BY e.id",
      {Pg(id), Pg(tenant)});
  if (rows.Rows() == 0) return std::nullopt;
  nlohmann::json out = {{"id", id},
                        {"to", rows.Text(0, 0)},
                        {"from", rows.Text(0, 1)},
                        {"client_ref", rows.Text(0, 2)},
                        {"state", rows.Text(0, 3)},
                        {"priority", rows.Int(0, 9)}};
  if (!rows.IsNull(0, 4)) {
    out["code"] = rows.Int(0, 4);
    out["code_name"] = rows.Text(0, 5);
  }
  if (!rows.IsNull(0, 6)) out["parts"] = rows.Int(0, 6);
  if (rows.Int(0, 7) > 0) out["send_at"] = IsoTime(rows.Int(0, 7));
  if (!rows.IsNull(0, 8)) out["valid_until"] = IsoTime(rows.Int(0, 8));
  nlohmann::json events = nlohmann::json::array();
  for (int i = 0; i < rows.Rows(); ++i) {
    if (rows.IsNull(i, 10)) continue;
    nlohmann::json event = {{"state", rows.Text(i, 11)}, {"at", IsoTime(rows.Int(i, 10))}};
    if (!rows.IsNull(i, 12)) event["code"] = rows.Int(i, 12);
    const std::string detail = rows.Text(i, 13);
    nlohmann::json fields =
        rows.Text(i, 11) == kReportEvent ? nlohmann::json::parse(detail, nullptr, false) : nlohmann::json();
    if (fields.is_object())
      event.update(fields);
    else if (!detail.empty())
      event["detail"] = detail;
    events.push_back(std::move(event));
  }
  out["events"] = std::move(events);
  return out;
}

// ---- Webhooks -------------------------------------------------------------------

std::vector<WebhookDelivery> PostgresqlQueue::DueWebhooks(int64_t now_ms, int limit, const WebhookSkip& skip) {
  // Taken for the lease, so that no other daemon delivers them meanwhile;
  // this daemon's own claims it may see again (those it did not start).
  nlohmann::json origins = nlohmann::json::array();
  for (const std::string& origin : skip.origins) origins.push_back(origin + "/");
  std::vector<WebhookDelivery> out;
  Submit([&] {
    out.clear();
    PgResult due = writer_.Exec(
        "WITH due AS (SELECT seq FROM webhooks WHERE state='due' AND next_ms<=$1 "
        "AND (lease_until_ms<=$1 OR claimed_by=$2) "
        "AND NOT (event_id = ANY (ARRAY(SELECT jsonb_array_elements_text($3::jsonb)))) "
        "AND NOT EXISTS (SELECT 1 FROM jsonb_array_elements_text($4::jsonb) o(v) WHERE left(url, length(o.v))=o.v) "
        "ORDER BY next_ms, seq LIMIT $5 FOR UPDATE SKIP LOCKED) "
        "UPDATE webhooks w SET claimed_by=$2, lease_until_ms=$6 FROM due WHERE w.seq=due.seq "
        "RETURNING w.event_id, w.method, w.url, w.body, w.attempts, w.created_ms, w.next_ms, w.seq",
        {Pg(now_ms), Pg(settings_.name), Pg(EventText(skip.events)), Pg(EventText(origins)), Pg(limit),
         Pg(now_ms + kWebhookLeaseMs)});
    for (int i = 0; i < due.Rows(); ++i)
      out.push_back({due.Text(i, 0), due.Text(i, 1), due.Text(i, 2), due.Text(i, 3), static_cast<int>(due.Int(i, 4)),
                     due.Int(i, 5)});
  }).get();
  // RETURNING keeps no order: the longest due first, as a reader would.
  std::stable_sort(out.begin(), out.end(),
                   [](const WebhookDelivery& a, const WebhookDelivery& b) { return a.created_ms < b.created_ms; });
  return out;
}

void PostgresqlQueue::WebhookAttempted(const std::string& event_id, WebhookOutcome outcome, int64_t next_ms,
                                       const std::string& error) {
  Submit([&] {
    const char* state = outcome == WebhookOutcome::kDelivered ? "delivered"
                        : outcome == WebhookOutcome::kExpired ? "expired"
                        : outcome == WebhookOutcome::kFailed  ? "failed"
                                                              : "due";
    writer_.Exec(
        "UPDATE webhooks SET state=$1, attempts=attempts+1, next_ms=$2, last_error=$3, claimed_by=NULL, "
        "lease_until_ms=0 WHERE event_id=$4",
        {Pg(state), Pg(outcome == WebhookOutcome::kDueAgain ? next_ms : clock_()), Pg(error), Pg(event_id)});
  }).get();
}

// ---- Figures and retention ----------------------------------------------------------

QueueStats PostgresqlQueue::Stats() {
  QueueStats stats;
  stats.storage_error = commits_.StorageErrorNow();
  ReaderLease reader(*this);
  // One statement per figure: a repeatable-read snapshot would keep every
  // daemon's old rows alive for as long as a scrape takes.
  PgResult counts = reader->Exec("SELECT what, sum(count) FROM running_counts GROUP BY what HAVING sum(count)<>0");
  for (int i = 0; i < counts.Rows(); ++i) {
    const std::string what = counts.Text(i, 0);
    if (what.compare(0, 9, "messages.") == 0) {
      stats.messages_per_state[what.substr(9)] = counts.Int(i, 1);
      stats.accepted += counts.Int(i, 1);
    } else if (what == "webhooks.due") {
      stats.webhook_backlog = counts.Int(i, 1);
    }
  }
  PgResult deleted = reader->Exec("SELECT coalesce(sum(count), 0) FROM deleted_totals WHERE what='messages'");
  stats.accepted += deleted.Int(0, 0);
  PgResult outcomes = reader->Exec("SELECT state, code, sum(count) FROM outcome_totals GROUP BY state, code");
  for (int i = 0; i < outcomes.Rows(); ++i) {
    if (outcomes.Text(i, 0) == "sent")
      stats.sent_total += outcomes.Int(i, 2);
    else if (outcomes.Text(i, 0) == "expired")
      stats.expired_total += outcomes.Int(i, 2);
    else
      stats.failed_per_code[static_cast<int>(outcomes.Int(i, 1))] += outcomes.Int(i, 2);
  }
  PgResult tenants = reader->Exec("SELECT tenant, what, sum(count) FROM tenant_totals GROUP BY tenant, what");
  for (int i = 0; i < tenants.Rows(); ++i)
    stats.tenant_totals[tenants.Text(i, 0)][tenants.Text(i, 1)] = tenants.Int(i, 2);
  PgResult errors = reader->Exec(
      "SELECT e.at_ms, m.id, e.state, e.code, e.detail FROM message_events e JOIN messages m ON m.seq=e.message_seq "
      "WHERE e.state IN ('failed','unknown','expired') ORDER BY e.id DESC LIMIT 10");
  for (int i = 0; i < errors.Rows(); ++i) {
    std::string line = IsoTime(errors.Int(i, 0)) + " " + errors.Text(i, 1) + " " + errors.Text(i, 2);
    if (!errors.IsNull(i, 3)) line += " " + errors.Text(i, 3);
    line += " " + errors.Text(i, 4);
    stats.last_errors.push_back(line);
  }
  for (const char* sql : {"SELECT next_ms, url, attempts, state, last_error FROM webhooks "
                          "WHERE state='due' AND attempts>0 ORDER BY next_ms DESC LIMIT 5",
                          "SELECT next_ms, url, attempts, state, last_error FROM webhooks "
                          "WHERE state='expired' ORDER BY next_ms DESC LIMIT 5",
                          "SELECT next_ms, url, attempts, state, last_error FROM webhooks "
                          "WHERE state='failed' ORDER BY next_ms DESC LIMIT 5"}) {
    PgResult failures = reader->Exec(sql);
    for (int i = 0; i < failures.Rows(); ++i)
      stats.webhook_failures.push_back({failures.Int(i, 0), failures.Text(i, 1), static_cast<int>(failures.Int(i, 2)),
                                        failures.Text(i, 3), failures.Text(i, 4)});
  }
  PgResult fleet =
      reader->Exec("SELECT name, grp, gateway, version, started_ms, last_seen_ms FROM daemons ORDER BY name");
  for (int i = 0; i < fleet.Rows(); ++i)
    stats.fleet.push_back(
        {fleet.Text(i, 0), fleet.Text(i, 1), fleet.Text(i, 2), fleet.Text(i, 3), fleet.Int(i, 4), fleet.Int(i, 5)});
  return stats;
}

DeletedCounts PostgresqlQueue::DeleteSettled(int64_t before_ms, int limit) {
  DeletedCounts deleted;
  Submit([&] {
    deleted = {};
    PgResult old = writer_.Exec(
        "WITH old AS (SELECT seq FROM messages WHERE settled_ms<$1 ORDER BY settled_ms LIMIT $2 FOR UPDATE SKIP "
        "LOCKED), "
        "e AS (DELETE FROM message_events WHERE message_seq IN (SELECT seq FROM old)), "
        "r AS (DELETE FROM message_references WHERE message_seq IN (SELECT seq FROM old)) "
        "DELETE FROM messages WHERE seq IN (SELECT seq FROM old)",
        {Pg(before_ms), Pg(limit)});
    deleted.messages = old.Changed();
    if (deleted.messages > 0)
      writer_.Exec(
          "INSERT INTO deleted_totals VALUES(current_setting('talvenix.daemon'), 'messages', $1) "
          "ON CONFLICT(daemon, what) DO UPDATE SET count=deleted_totals.count+excluded.count",
          {Pg(deleted.messages)});
    deleted.webhooks = writer_
                           .Exec(
                               "DELETE FROM webhooks WHERE seq IN (SELECT seq FROM webhooks WHERE state IN "
                               "('delivered','expired','failed') AND next_ms<$1 LIMIT $2 FOR UPDATE SKIP LOCKED)",
                               {Pg(before_ms), Pg(limit)})
                           .Changed();
    writer_.Exec("DELETE FROM tenant_days WHERE day < $1", {Pg(clock_() / 86400000 - 1)});
  }).get();
  return deleted;
}

// ---- Waking the dispatcher ------------------------------------------------------------

void PostgresqlQueue::Woken() {
  {
    std::lock_guard lock(work_mutex_);
    work_ = true;
  }
  work_cv_.notify_all();
}

void PostgresqlQueue::WaitForWork(std::chrono::milliseconds limit) {
  std::unique_lock lock(work_mutex_);
  work_cv_.wait_for(lock, limit, [&] { return work_ || stopping_; });
  work_ = false;
}

void PostgresqlQueue::Watch(PgConnection& listener) {
  auto next_beat = std::chrono::steady_clock::now() + kHeartbeat;
  bool listening = false, reported = false;
  while (true) {
    {
      std::lock_guard lock(work_mutex_);
      if (stopping_) return;
    }
    try {
      if (!listening) {
        // The name's lock went with a lost connection: taken again here,
        // unless a daemon of the same name took it meanwhile.
        if (listener.Exec(kTakeName, {Pg(settings_.name)}).Text(0, 0) != "t")
          throw StorageError("another talvenixd named " + settings_.name + " uses this queue now");
        listener.ExecScript("LISTEN talvenix_work");
        listening = true;
        if (reported) std::fprintf(stderr, "talvenixd: the queue's server answers again\n");
        reported = false;
        Woken();  // what was queued meanwhile
      }
      pollfd fd{PQsocket(listener.raw()), POLLIN, 0};
      poll(&fd, 1, 500);
      if (PQconsumeInput(listener.raw()) == 0) throw StorageError(Trimmed(PQerrorMessage(listener.raw())));
      bool woken = false;
      while (PGnotify* n = PQnotifies(listener.raw())) {
        woken = true;
        PQfreemem(n);
      }
      if (woken) Woken();
      if (std::chrono::steady_clock::now() >= next_beat) {
        next_beat = std::chrono::steady_clock::now() + kHeartbeat;
        Heartbeat();
      }
    } catch (const std::exception& e) {
      if (!reported) std::fprintf(stderr, "talvenixd: the queue's server: %s; trying again\n", e.what());
      reported = true;
      listening = false;
      listener.Close();
      std::unique_lock lock(work_mutex_);
      work_cv_.wait_for(lock, std::chrono::seconds(1), [&] { return stopping_; });
    }
  }
}

}  // namespace talvenix::daemon
