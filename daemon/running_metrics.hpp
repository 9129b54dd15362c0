// SPDX-License-Identifier: Apache-2.0
#pragma once
// Figures counted as they happen, for the life of the process: requests by
// route and status, webhook attempts by result, how long sends take from
// SendSMS to their outcome, and the messages accepted and settled in each
// ten seconds of the last hour (the status page's chart). Cheap to count
// from any thread; /metrics and the status page read them without touching
// the queue.

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "daemon/message_queue.hpp"

namespace talvenix::daemon {

class RunningMetrics {
 public:
  static constexpr int64_t kSlotMs = 10'000;
  static constexpr size_t kSlots = 360;  // an hour
  // Upper bounds of the send-time buckets, in seconds.
  static constexpr std::array<double, 12> kSendBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};

  explicit RunningMetrics(int64_t started_ms = NowMs()) : started_ms_(started_ms) {}

  // `route` is one of the API's routes ("/v1/messages/{id}"), never a path
  // as sent: a label per id would grow without end.
  void Request(const std::string& route, int status);
  void WebhookAttempt(WebhookOutcome outcome);
  void Accepted(size_t count, int64_t now_ms = NowMs());
  // A send's outcome, `seconds` after it was handed to the module.
  void Settled(bool sent, double seconds, int64_t now_ms = NowMs());
  // A tenant's messages refused by its own limits: `reason` "throttle" or "daily_cap".
  void TenantRefused(const std::string& tenant, const std::string& reason, size_t messages);

  struct Slot {
    int64_t start_ms = 0;
    int64_t accepted = 0, sent = 0, failed = 0;
  };
  struct SendTimes {
    std::array<uint64_t, kSendBuckets.size() + 1> buckets{};  // the last one: above every bound
    double sum = 0;
  };
  struct Snapshot {
    std::map<std::pair<std::string, int>, uint64_t> requests;
    std::array<uint64_t, 4> webhooks{};  // by WebhookOutcome
    SendTimes send_times;
    std::map<std::pair<std::string, std::string>, uint64_t> tenant_refusals;  // (tenant, reason)
    std::vector<Slot> last_hour;  // kSlots of them, the oldest first, up to the one of `now_ms`
    int64_t started_ms = 0;
  };
  Snapshot Read(int64_t now_ms = NowMs()) const;

 private:
  Slot& SlotAt(int64_t now_ms);  // under mutex_

  const int64_t started_ms_;
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, int>, uint64_t> requests_;
  std::array<uint64_t, 4> webhooks_{};
  std::map<std::pair<std::string, std::string>, uint64_t> tenant_refusals_;
  SendTimes send_times_;
  std::array<Slot, kSlots> slots_{};
};

}  // namespace talvenix::daemon
