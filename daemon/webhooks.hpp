// SPDX-License-Identifier: Apache-2.0
#pragma once
// Delivers the queue's webhook events: POST of the JSON body, signed with
// HMAC-SHA256 over "<timestamp>.<body>", each event id in a header so that
// receivers can drop repeats; GET for Kannel delivery reports. A failed
// attempt is due again after a doubling delay (up to an hour) for 25 hours.
// One thread drives every delivery at once on libcurl's multi interface:
// each attempt has its own deadline, and a receiver gets only so many
// deliveries at once, so a slow or dead receiver holds up its own events
// only. Connections go only to addresses the policy allows, checked on the
// address about to be connected to (after DNS), never through a proxy.

#include <curl/curl.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "daemon/address_policy.hpp"
#include "daemon/message_queue.hpp"
#include "daemon/running_metrics.hpp"

namespace talvenix::daemon {

constexpr const char* kSignatureHeader = "X-Talvenix-Signature";  // "sha256=<hex>"
constexpr const char* kTimestampHeader = "X-Talvenix-Timestamp";  // Unix seconds
constexpr const char* kEventIdHeader = "X-Talvenix-Event-Id";

// The delay before attempt number `attempts` + 1.
int64_t WebhookBackoffMs(int attempts);
constexpr int64_t kWebhookGiveUpMs = 25LL * 3600 * 1000;

struct WebhookSettings {
  std::string secret;
  AddressPolicy policy;
  int timeout_s = 10;
  int per_receiver = 4;
  int connections = 64;
};

class WebhookSender {
 public:
  WebhookSender(MessageQueue& queue, WebhookSettings settings, RunningMetrics& metrics);
  ~WebhookSender();
  void Start();
  void Stop();
  // Takes new settings (a re-read file) before its next look at the queue;
  // deliveries under way finish under the old ones.
  void Reconfigure(WebhookSettings settings);

 private:
  struct Transfer;
  void Loop();
  // Starts due events while there is room; false when none could start.
  bool StartDue();
  // Starts one delivery, or records why it never can; false when its
  // receiver has all the deliveries it may have.
  bool Begin(const WebhookDelivery& delivery);
  void Finish(CURL* easy, CURLcode result);
  void Record(const WebhookDelivery& delivery, WebhookOutcome outcome, const std::string& error);
  static curl_socket_t OpenSocket(void* transfer, curlsocktype purpose, curl_sockaddr* address);

  MessageQueue& queue_;
  RunningMetrics& metrics_;
  WebhookSettings settings_;  // the sender's thread's own
  std::mutex new_settings_mutex_;
  std::optional<WebhookSettings> new_settings_;
  CURLM* multi_ = nullptr;
  std::map<CURL*, std::unique_ptr<Transfer>> transfers_;
  std::map<std::string, int> per_origin_;  // deliveries under way per receiver
  // Events whose attempt could not be recorded: not tried again for a while,
  // so a failing disk does not make them go out again and again.
  std::map<std::string, int64_t> held_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace talvenix::daemon
