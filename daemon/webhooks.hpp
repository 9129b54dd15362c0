#pragma once
// Delivers the queue's webhook events: POST of the JSON body, signed with
// HMAC-SHA256 over "<timestamp>.<body>", each event id in a header so that
// receivers can drop repeats; GET for Kannel delivery reports. A failed
// attempt is due again after a doubling delay (up to an hour) for 25 hours.
// cpp-httplib's client: the daemon's server is cpp-httplib already, and the
// module's HTTP client belongs to the gateways, which a host cannot reach.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "daemon/message_queue.hpp"

namespace talvenix::daemon {

constexpr const char* kSignatureHeader = "X-Talvenix-Signature";  // "sha256=<hex>"
constexpr const char* kTimestampHeader = "X-Talvenix-Timestamp";  // Unix seconds
constexpr const char* kEventIdHeader = "X-Talvenix-Event-Id";

// The delay before attempt number `attempts` + 1.
int64_t WebhookBackoffMs(int attempts);
constexpr int64_t kWebhookGiveUpMs = 25LL * 3600 * 1000;

class WebhookSender {
 public:
  WebhookSender(MessageQueue& queue, std::string secret);
  ~WebhookSender();
  void Start();
  void Stop();

 private:
  void Loop();
  // Delivers one event and records the attempt.
  void Attempt(const WebhookDelivery& delivery);
  // Empty when delivered, else why not.
  std::string Deliver(const WebhookDelivery& delivery);

  MessageQueue& queue_;
  std::string secret_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
};

}  // namespace talvenix::daemon
