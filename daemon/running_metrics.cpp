// SPDX-License-Identifier: Apache-2.0
#include "daemon/running_metrics.hpp"

#include <algorithm>

namespace talvenix::daemon {

void RunningMetrics::Request(const std::string& route, int status) {
  std::lock_guard lock(mutex_);
  ++requests_[{route, status}];
}

void RunningMetrics::WebhookAttempt(WebhookOutcome outcome) {
  std::lock_guard lock(mutex_);
  ++webhooks_[static_cast<size_t>(outcome)];
}

void RunningMetrics::TenantRefused(const std::string& tenant, const std::string& reason, size_t messages) {
  std::lock_guard lock(mutex_);
  tenant_refusals_[{tenant, reason}] += messages;
}

RunningMetrics::Slot& RunningMetrics::SlotAt(int64_t now_ms) {
  const int64_t start = now_ms - now_ms % kSlotMs;
  Slot& slot = slots_[static_cast<size_t>(start / kSlotMs) % kSlots];
  if (slot.start_ms != start) slot = Slot{start, 0, 0, 0};  // an hour old: begun again
  return slot;
}

void RunningMetrics::Accepted(size_t count, int64_t now_ms) {
  std::lock_guard lock(mutex_);
  SlotAt(now_ms).accepted += static_cast<int64_t>(count);
}

void RunningMetrics::Settled(bool sent, double seconds, int64_t now_ms) {
  std::lock_guard lock(mutex_);
  ++(sent ? SlotAt(now_ms).sent : SlotAt(now_ms).failed);
  const size_t bucket = std::lower_bound(kSendBuckets.begin(), kSendBuckets.end(), seconds) - kSendBuckets.begin();
  ++send_times_.buckets[bucket];
  send_times_.sum += seconds;
}

RunningMetrics::Snapshot RunningMetrics::Read(int64_t now_ms) const {
  std::lock_guard lock(mutex_);
  Snapshot out{requests_, webhooks_, send_times_, tenant_refusals_, {}, started_ms_};
  const int64_t newest = now_ms - now_ms % kSlotMs;
  for (size_t i = 0; i < kSlots; ++i) {
    const int64_t start = newest - static_cast<int64_t>(kSlots - 1 - i) * kSlotMs;
    const Slot& slot = slots_[static_cast<size_t>(start / kSlotMs) % kSlots];
    out.last_hour.push_back(slot.start_ms == start ? slot : Slot{start, 0, 0, 0});
  }
  return out;
}

}  // namespace talvenix::daemon
