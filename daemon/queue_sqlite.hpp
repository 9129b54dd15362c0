// SPDX-License-Identifier: Apache-2.0
#pragma once
// MessageQueue in one SQLite file (WAL). One writer thread owns every change
// and commits whatever has gathered in one transaction (GroupCommit): many
// accepted messages share one fsync, and each caller of Accept returns only
// after the commit that holds its message. Claims and events are written to
// the WAL without an fsync of their own: they survive a crash of the daemon,
// and a later fsync (of the next accepted batch, or a checkpoint) takes them
// to disk.
// Which claimed messages went to the module is a journal beside the database
// ("<database>-handed", one id a line, appended before each SendSMS), emptied
// whenever the codes of every earlier send are committed. The journal is not
// fsync'd, so it tells only after a crash of the daemon; a claim is fsync'd
// before its first send, and after a restart of the machine (another boot id)
// every claimed message without an outcome counts as handed.

#include <sqlite3.h>
#include <sys/types.h>

#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "daemon/group_commit.hpp"
#include "daemon/message_queue.hpp"
#include "daemon/sqlite_statement.hpp"
#include "daemon/tenants.hpp"
#include "daemon/webhook_events.hpp"
#include "platform/line_journal.hpp"

namespace talvenix::daemon {

// The kernel's id of this boot of the machine; empty when unknown.
std::string CurrentBootId();

class SqliteQueue final : public MessageQueue {
 public:
  // Opens (creating if need be) the file; throws std::runtime_error.
  // `boot_id` names this run of the machine (the kernel's boot id); `clock`
  // stamps every event (Unix milliseconds).
  SqliteQueue(const std::string& path, std::string default_webhook_url, std::string boot_id = CurrentBootId(),
              std::function<int64_t()> clock = NowMs);
  ~SqliteQueue() override;

  void SetDefaultWebhookUrl(std::string url) override;
  // Only messages that name no group: the daemon is alone.
  std::vector<std::string> Groups() override { return {""}; }
  bool HasGroup(const std::string& group) override { return group.empty(); }

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

 private:
  using Job = GroupCommit::Job;
  using Sync = GroupCommit::Sync;
  // Runs `job` on the writer thread inside a batch; the future is ready once
  // the batch committed (or holds the failure). A batch syncs to disk when
  // one of its jobs needs it.
  std::future<void> Submit(Job job, Sync sync = Sync::kOsBuffers) { return commits_.Submit(std::move(job), sync); }
  void RunBatch(const std::vector<Job*>& jobs, Sync sync, std::vector<std::exception_ptr>& failures);
  void AddWebhook(int64_t message_seq, const std::optional<EventDelivery>& delivery);
  // An event for the message's receiver: `body` with the message's id and
  // client_ref as a JSON POST, or a GET of its Kannel dlr-url when
  // `kannel_kind` is asked for.
  void AddMessageWebhook(int64_t seq, int kannel_kind, const std::string& kannel_answer, nlohmann::json body);
  void AddOutcomeWebhook(int64_t seq, const std::string& state, std::optional<int> code, const std::string& code_name);
  // In a job: queued messages whose time ran out become expired.
  void ExpireDue(int64_t now_ms);
  void AddEvent(int64_t message_seq, const std::string& state, std::optional<int> code, const std::string& detail);
  // The message a modem line's report is about: the newest send of its line
  // and reference, if that went to the report's recipient within the window.
  struct ReportMatch {
    int64_t seq = 0;
    uint32_t part = 0, parts = 0;
  };
  std::optional<ReportMatch> MatchReport(const StatusReport& report, int64_t now_ms);
  // Its event on the message, and the webhook to the message's receiver.
  void AddMatchedReport(const ReportMatch& match, const StatusReport& report, int64_t now_ms);
  // Checks the file, then makes or upgrades its tables (queue_sqlite_schema.cpp).
  void CreateSchema();
  // Throws when the file's pages are damaged.
  void CheckWhole();
  void UpgradeSchema();
  // Gives free pages back to the file system once they are a large share.
  void ReclaimSpace();
  void Woken();

  // Empties the journal unless an event is kept for writing again.
  void EmptyJournalIfSaved();

  std::string default_webhook_url_;
  std::string boot_id_;
  std::function<int64_t()> clock_;
  std::mutex journal_mutex_;
  platform::LineJournal journal_;
  std::string journal_error_;  // why the last write of it failed; empty when it did not
  SqliteConnection writer_;
  // Readers have connections of their own (WAL lets them read while the
  // writer writes): a lookup never waits behind a scrape or a webhook poll.
  static constexpr size_t kReaders = 4;
  std::array<std::unique_ptr<SqliteConnection>, kReaders> readers_;
  std::vector<SqliteConnection*> free_readers_;
  std::mutex readers_mutex_;
  std::condition_variable reader_free_;
  // One reader's connection, for as long as it lives.
  class ReaderLease {
   public:
    explicit ReaderLease(SqliteQueue& queue);
    ~ReaderLease();
    ReaderLease(const ReaderLease&) = delete;
    ReaderLease& operator=(const ReaderLease&) = delete;
    SqliteConnection& operator*() { return *connection_; }
    SqliteConnection* operator->() { return connection_; }
    // Reads from one snapshot until the lease ends.
    void Snapshot();

   private:
    SqliteQueue& queue_;
    SqliteConnection* connection_;
    bool snapshot_ = false;
  };

  Sync batch_sync_ = Sync::kDisk;  // what the writer connection is set to now (writer thread only)
  GroupCommit commits_{[this](const std::vector<Job*>& jobs, Sync sync, std::vector<std::exception_ptr>& failures) {
    RunBatch(jobs, sync, failures);
  }};

  std::mutex work_mutex_;
  std::condition_variable work_cv_;
  bool work_ = true;
};

}  // namespace talvenix::daemon
