// SPDX-License-Identifier: Apache-2.0
#pragma once
// MessageQueue on a PostgreSQL server that several daemons share, each with
// its own gateway. Claims take rows with FOR UPDATE SKIP LOCKED, so daemons
// take different messages without waiting on one another, and each takes
// only the messages of its group. Every commit is synchronous: what a
// daemon was told is stored survives a crash of the daemon and of the
// server.
// At most once across the fleet: a claimed message carries its daemon's
// name and, once it goes to the module, that it was handed. A restart of a
// daemon makes its own handed messages unknown and queues its other claims
// again; a daemon not seen for the lease has the same done by the others,
// so its handed messages are left for an operator's retry, never sent by
// another daemon. Webhook events are claimed the same way, for a lease, so
// any daemon delivers any event, at least once.
// NOTIFY wakes the dispatchers when messages are queued; a lost server
// makes every write fail (the API answers 503, sending stops) until it is
// back, and the events recorded meanwhile are kept and written then.

#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "daemon/group_commit.hpp"
#include "daemon/message_queue.hpp"
#include "daemon/postgresql_connection.hpp"
#include "daemon/tenants.hpp"
#include "daemon/webhook_events.hpp"

namespace talvenix::daemon {

struct PostgresqlSettings {
  std::string connection;  // libpq connection string or URI
  std::string name;        // this daemon's name in the fleet: one daemon each
  std::string group;       // it claims messages of this group, and those of none
  std::string gateway;     // the gateway it runs, for the fleet's status page
  int lease_s = 60;        // a daemon not seen this long is taken for gone
};

class PostgresqlQueue final : public MessageQueue {
 public:
  // Connects, makes or upgrades the tables, and takes the daemon's name for
  // as long as it runs; throws std::runtime_error (another daemon has the
  // name, the server is out of reach, the tables are from a newer daemon).
  PostgresqlQueue(PostgresqlSettings settings, std::string default_webhook_url, std::function<int64_t()> clock = NowMs);
  ~PostgresqlQueue() override;

  std::vector<std::string> AcceptAll(const std::vector<NewMessage>& messages) override;
  std::vector<OutgoingMessage> ClaimNext(int limit) override;
  std::future<std::vector<OutgoingMessage>> ClaimAhead(int limit) override;
  void MarkHanded(const std::string& id) override;
  void ExpireOverdue() override;
  void WaitForWork(std::chrono::milliseconds limit) override;
  void RecordCode(const std::string& id, int32_t code, const std::string& code_name) override;
  void RecordIncoming(const IncomingMessage& message) override;
  void RecordStatusReport(const StatusReport& report) override;
  void RecordReferences(const std::string& id, const SentReferences& sent) override;
  void Flush() override;
  int MarkUnknown() override;
  RetryResult Retry(const std::string& id, const std::string& tenant = kDefaultTenant) override;
  std::optional<nlohmann::json> Find(const std::string& id, const std::string& tenant = kDefaultTenant) override;
  int64_t AcceptedOnDay(const std::string& tenant, int64_t day) override;
  std::vector<WebhookDelivery> DueWebhooks(int64_t now_ms, int limit, const WebhookSkip& skip = {}) override;
  void WebhookAttempted(const std::string& event_id, WebhookOutcome outcome, int64_t next_ms,
                        const std::string& error) override;
  QueueStats Stats() override;
  DeletedCounts DeleteSettled(int64_t before_ms, int limit) override;
  void SetDefaultWebhookUrl(std::string url) override;
  std::vector<std::string> Groups() override;
  bool HasGroup(const std::string& group) override;

  // The gateway the fleet's status page shows for this daemon.
  void SetGateway(const std::string& gateway);
  // Marks this daemon seen and settles the claims of daemons gone for the
  // lease (the watcher does it every few seconds).
  void Heartbeat();

 private:
  using Job = GroupCommit::Job;
  using Sync = GroupCommit::Sync;
  std::future<void> Submit(Job job, Sync sync = Sync::kOsBuffers) { return commits_.Submit(std::move(job), sync); }
  void RunBatch(const std::vector<Job*>& jobs, std::vector<std::exception_ptr>& failures);
  void CreateSchema();  // queue_postgresql_schema.cpp

  void AddEvent(int64_t seq, const std::string& state, std::optional<int> code, const std::string& detail);
  void AddWebhook(int64_t seq, const std::optional<EventDelivery>& delivery);
  void AddMessageWebhook(int64_t seq, int kannel_kind, const std::string& kannel_answer, nlohmann::json body);
  void AddOutcomeWebhook(int64_t seq, const std::string& state, std::optional<int> code, const std::string& code_name);
  void CountOutcome(const std::string& state, int64_t code, int64_t count);
  void ExpireDue(int64_t now_ms);
  // On the writer's thread: the groups of the daemons table into groups_.
  void ReadGroups();
  // In a job: the claims of daemon `owner` (this one at its start, or one
  // gone) settle as a restart settles them; returns how many became unknown.
  int SettleClaimsOf(const std::string& owner, const std::string& unknown_detail, const std::string& queued_detail);
  void Notify();
  // The watcher: LISTEN for queued work, the heartbeat, and the lock on
  // this daemon's name, on `listener`, a connection of its own.
  void Watch(PgConnection& listener);
  void Woken();

  PostgresqlSettings settings_;
  std::string default_webhook_url_;  // writer thread only, after the start
  std::function<int64_t()> clock_;
  PgConnection writer_;
  std::mutex readers_mutex_;
  std::vector<std::unique_ptr<PgConnection>> free_readers_;
  // A reader's connection for as long as it lives; a lost one is dropped.
  class ReaderLease {
   public:
    explicit ReaderLease(PostgresqlQueue& queue);
    ~ReaderLease();
    ReaderLease(const ReaderLease&) = delete;
    ReaderLease& operator=(const ReaderLease&) = delete;
    PgConnection* operator->() { return connection_.get(); }

   private:
    PostgresqlQueue& queue_;
    std::unique_ptr<PgConnection> connection_;
  };
  GroupCommit commits_{[this](const std::vector<Job*>& jobs, Sync, std::vector<std::exception_ptr>& failures) {
    RunBatch(jobs, failures);
  }};

  std::mutex work_mutex_;
  std::condition_variable work_cv_;
  bool work_ = true;
  bool stopping_ = false;  // under work_mutex_
  std::thread watcher_;
  std::mutex claims_mutex_;
  std::set<std::string> held_claims_;  // claimed, given to a caller, and not handed yet
  std::mutex groups_mutex_;
  std::vector<std::string> groups_;  // as the last heartbeat read them
};

}  // namespace talvenix::daemon
