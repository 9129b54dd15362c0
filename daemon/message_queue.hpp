// SPDX-License-Identifier: Apache-2.0
#pragma once
// The daemon's durable queue: accepted messages, the states they pass
// through, and the webhook deliveries their events cause. One interface for
// the local SQLite queue and one that several daemons share (PostgreSQL),
// so the API, the dispatcher and the webhook sender know neither.
//
// States: queued -> sending (taken, then handed to the module) -> pending (112) ->
// sent | failed. A message left in sending or pending by a stopped or killed
// daemon becomes unknown at the next start and is never sent again unless
// someone asks (Retry). A queued message whose time ran out before it was
// taken becomes expired.

#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace talvenix::daemon {

struct NewMessage {
  std::string to, text, from, client_ref;
  std::string callback_url;        // empty: the configured webhook URL
  int kannel_dlr_mask = -1;        // >= 0: callback_url is a Kannel dlr-url, called with GET for these report kinds
  int parts = 0;                   // the SMS parts the running gateway makes of the text; 0: not known
  int64_t send_at_ms = 0;          // Unix ms: not taken before then; 0: at once
  int64_t expires_ms = 0;          // Unix ms: expired if not taken by then; 0: never
  int priority = 0;                // 0-3: among the due messages, the higher is taken first
  std::string tenant = "default";  // the group of API keys that sees it
  std::string group{};             // the daemons that may send it ([queue] group); empty: any
};

struct OutgoingMessage {
  std::string id, to, text, from;
};

struct IncomingMessage {
  std::string from, text;
  uint32_t line = 0;
};

struct StatusReport {
  uint32_t reference = 0, status = 0;
  uint32_t line = 0;  // a modem line's COM port
  std::string from, number;
  bool from_modem_line = false;  // only these can be tied to a message (SentReferences)
};

// The message references a modem line's network gave the parts of a message.
struct SentReferences {
  uint32_t comport = 0;
  std::string recipient;
  uint32_t parts = 0;
  std::vector<std::pair<uint32_t, uint32_t>> references;  // (part from 1, reference) of the parts it is known for
};

struct WebhookDelivery {
  std::string event_id, method, url, body;
  int attempts = 0;
  int64_t created_ms = 0;
};

// Due events a webhook sender does not want now: those it is delivering, and
// those of receivers (URL origins, "https://host:port") it sends enough to.
struct WebhookSkip {
  std::vector<std::string> events, origins;
};

enum class WebhookOutcome {
  kDelivered,
  kDueAgain,  // at next_ms
  kExpired,   // it kept failing for as long as events are tried
  kFailed,    // it can never be delivered: a URL that is none, a refused address
};

// A webhook attempt that failed: of an event still due, or given up.
struct WebhookFailure {
  int64_t at_ms = 0;  // when it is due again, or when it was given up
  std::string url;
  int attempts = 0;
  std::string state;  // due, expired or failed
  std::string error;
};

// A daemon of those that share the queue.
struct FleetDaemon {
  std::string name, group, gateway, version;
  int64_t started_ms = 0, last_seen_ms = 0;
};

struct QueueStats {
  std::map<std::string, int64_t> messages_per_state;
  int64_t accepted = 0;                    // every message ever accepted
  int64_t sent_total = 0;                  // sends the gateway took, retries included
  int64_t expired_total = 0;               // messages whose time ran out before they were taken
  std::map<int, int64_t> failed_per_code;  // failed sends, retries included
  int64_t webhook_backlog = 0;
  std::vector<std::string> last_errors;          // newest first
  std::vector<WebhookFailure> webhook_failures;  // of those still due, then of those given up; newest first
  std::string storage_error;                     // why the queue cannot write now; empty while it can
  // Per tenant, what its messages did: "accepted", "sent", "failed",
  // "unknown", "expired" (each time, retries included) and "parts_sent".
  std::map<std::string, std::map<std::string, int64_t>> tenant_totals;
  std::vector<FleetDaemon> fleet;  // the daemons sharing the queue; empty for a queue of one daemon
};

// MarkHanded of a message that is no longer this daemon's to send: another
// daemon returned its claim after this one was not seen for too long.
class ClaimLost : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class RetryResult { kQueued, kNotFound, kNotRetryable };

struct DeletedCounts {
  int64_t messages = 0, webhooks = 0;
};

class MessageQueue {
 public:
  virtual ~MessageQueue() = default;

  // Stores the messages, all or none, and returns their ids in their order
  // once they are on disk.
  virtual std::vector<std::string> AcceptAll(const std::vector<NewMessage>& messages) = 0;
  std::string Accept(const NewMessage& message) { return AcceptAll({message}).front(); }
  // Up to `limit` of the due queued messages, the highest priority first and
  // then the oldest, now `sending` (taken by the dispatcher); empty when none
  // is due. Messages whose time ran out first become expired. Every send of
  // earlier claims must have had its code recorded, and every earlier claim
  // been handed or given up: the queue may take back those not handed.
  virtual std::vector<OutgoingMessage> ClaimNext(int limit) = 0;
  // The same claim, returning at once: the batch is there when the future is
  // ready. Sends of earlier claims may still go on meanwhile.
  virtual std::future<std::vector<OutgoingMessage>> ClaimAhead(int limit) = 0;
  // Records, so that a crash of the daemon cannot lose it, that the message
  // is about to be handed to the module. Called right before SendSMS.
  // Throws ClaimLost when the message is no longer this daemon's to send.
  virtual void MarkHanded(const std::string& id) = 0;
  // Expires the queued messages whose time ran out, when nothing claims
  // (the engine is down).
  virtual void ExpireOverdue() = 0;
  // Waits until something may be queued, or `limit` passed.
  virtual void WaitForWork(std::chrono::milliseconds limit) = 0;

  // Event recorders: they never wait for the disk (module threads call them).
  virtual void RecordCode(const std::string& id, int32_t code, const std::string& code_name) = 0;
  virtual void RecordIncoming(const IncomingMessage& message) = 0;
  // A report of a modem line goes to the message it reports on (the newest
  // send whose references, recipient and line it matches, within a few days)
  // and to that message's receiver; any other to the configured URL.
  virtual void RecordStatusReport(const StatusReport& report) = 0;
  virtual void RecordReferences(const std::string& id, const SentReferences& sent) = 0;
  // Waits until every event recorded so far is on disk.
  virtual void Flush() = 0;

  // At start: every message handed to the module without an outcome becomes
  // unknown; one taken but not handed is queued again. Returns how many
  // became unknown.
  virtual int MarkUnknown() = 0;
  // Queues an unknown or failed message of `tenant` again; another's is not found.
  virtual RetryResult Retry(const std::string& id, const std::string& tenant = "default") = 0;
  // The message of `tenant` with its states and times, as the API shows it;
  // none for another tenant's.
  virtual std::optional<nlohmann::json> Find(const std::string& id, const std::string& tenant = "default") = 0;
  // The messages accepted for `tenant` on a UTC day (days since 1970).
  virtual int64_t AcceptedOnDay(const std::string& tenant, int64_t day) = 0;

  // Up to `limit` events due at `now_ms`, the longest due first.
  virtual std::vector<WebhookDelivery> DueWebhooks(int64_t now_ms, int limit, const WebhookSkip& skip = {}) = 0;
  // Records one attempt once it is on disk.
  virtual void WebhookAttempted(const std::string& event_id, WebhookOutcome outcome, int64_t next_ms,
                                const std::string& error) = 0;

  virtual QueueStats Stats() = 0;
  // Where events go whose message names no receiver, from the next event on.
  virtual void SetDefaultWebhookUrl(std::string url) = 0;
  // The groups of daemons that send from this queue (the empty group is any),
  // as last read; and whether a group has a daemon, read again when not known.
  virtual std::vector<std::string> Groups() = 0;
  virtual bool HasGroup(const std::string& group) = 0;

  // Retention: deletes up to `limit` messages that settled (sent, failed,
  // unknown) before `before_ms`, with their events, and up to `limit` webhook
  // events delivered or given up before then. Never a message on its way nor
  // an event still due; the running totals of Stats never go down.
  virtual DeletedCounts DeleteSettled(int64_t before_ms, int limit) = 0;
};

int64_t NowMs();
std::string IsoTime(int64_t ms);

}  // namespace talvenix::daemon
