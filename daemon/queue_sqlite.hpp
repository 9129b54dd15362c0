#pragma once
// MessageQueue in one SQLite file (WAL). One writer thread owns every change
// and commits whatever has gathered in one transaction: many accepted
// messages share one fsync, and each caller of Accept returns only after the
// commit that holds its message.

#include <sqlite3.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "daemon/message_queue.hpp"

namespace talvenix::daemon {

class SqliteQueue final : public MessageQueue {
 public:
  // Opens (creating if need be) the file; throws std::runtime_error.
  SqliteQueue(const std::string& path, std::string default_webhook_url);
  ~SqliteQueue() override;

  std::string Accept(const NewMessage& message) override;
  std::optional<OutgoingMessage> ClaimNext() override;
  void WaitForWork(std::chrono::milliseconds limit) override;
  void RecordCode(const std::string& id, int32_t code, const std::string& code_name) override;
  void RecordIncoming(const IncomingMessage& message) override;
  void RecordStatusReport(const StatusReport& report) override;
  void Flush() override;
  int MarkUnknown() override;
  RetryResult Retry(const std::string& id) override;
  std::optional<nlohmann::json> Find(const std::string& id) override;
  std::vector<WebhookDelivery> DueWebhooks(int64_t now_ms, int limit) override;
  void WebhookAttempted(const std::string& event_id, bool delivered, int64_t next_ms, bool give_up,
                        const std::string& error) override;
  QueueStats Stats() override;

 private:
  using Job = std::function<void()>;
  // Runs `job` on the writer thread inside a batch; the future is ready once
  // the batch committed (or holds the failure).
  std::future<void> Submit(Job job);
  void WriterLoop();
  void Exec(sqlite3* db, const char* sql);
  void AddWebhook(int64_t message_seq, const std::string& url, const std::string& method, const std::string& body);
  void AddEvent(int64_t message_seq, const std::string& state, std::optional<int> code, const std::string& detail);
  void Woken();

  std::string default_webhook_url_;
  sqlite3* writer_db_ = nullptr;
  sqlite3* reader_db_ = nullptr;
  std::mutex reader_mutex_;

  std::mutex jobs_mutex_;
  std::condition_variable jobs_ready_;
  std::deque<std::pair<Job, std::promise<void>>> jobs_;
  bool stopping_ = false;
  std::thread writer_;

  std::mutex work_mutex_;
  std::condition_variable work_cv_;
  bool work_ = true;
};

}  // namespace talvenix::daemon
