// SPDX-License-Identifier: Apache-2.0
#pragma once
// API keys as tenants: each group of keys (a [tenant NAME] of talvenixd.ini;
// the keys of [api] are the tenant "default") sees and retries only its own
// messages, is counted apart in /metrics, and may have a throttle and a daily
// cap of its own on what it sends, beside the gateway's throttle.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace talvenix::daemon {

constexpr const char* kDefaultTenant = "default";

struct Tenant {
  std::string name;
  std::vector<std::string> key_digests;  // lower-case hex SHA-256 of each key
  double messages_per_second = 0;        // accepted per second at most; 0: no limit
  int64_t daily_cap = 0;                 // accepted per UTC day at most; 0: no limit
};

// The tenant whose key `key` is; null for none. Every digest is compared,
// so the time taken does not tell which key was close.
const Tenant* TenantOfKey(const std::vector<Tenant>& tenants, const std::string& key);
// True when `key` is one of `digests`' keys, compared the same way.
bool HoldsKey(const std::vector<std::string>& digests, const std::string& key);

// A name /metrics can carry as a label and a log line show as it is.
bool IsTenantName(const std::string& name);

// The running tenants' throttles and day counts. Any thread.
class TenantLimits {
 public:
  // `accepted_on_day(tenant, day)`: what the queue accepted for it on that
  // UTC day (days since 1970), so a restart does not start the day afresh.
  explicit TenantLimits(std::function<int64_t(const std::string&, int64_t)> accepted_on_day);

  struct Refusal {
    std::string reason;  // "throttle" or "daily_cap", as /metrics counts it
    std::string text;
    int64_t retry_after_s;
  };
  // Takes `count` messages from the tenant's throttle and day, or none of
  // them with the refusal when either has too few left.
  std::optional<Refusal> Take(const Tenant& tenant, int count, int64_t now_ms);
  // Gives back what Take took for messages that were not accepted after all.
  void GiveBack(const Tenant& tenant, int count, int64_t now_ms);
  // Accepted so far on the UTC day of `now_ms`.
  int64_t AcceptedToday(const Tenant& tenant, int64_t now_ms);

 private:
  struct State {
    bool started = false;  // the bucket starts full
    double tokens = 0;     // below 0: in debt after a list larger than the bucket
    int64_t refilled_ms = 0;
    int64_t day = -1;
    int64_t accepted_today = 0;
  };
  State& StateOf(const Tenant& tenant, int64_t now_ms);  // under mutex_

  std::function<int64_t(const std::string&, int64_t)> accepted_on_day_;
  std::mutex mutex_;
  std::map<std::string, State> states_;
};

}  // namespace talvenix::daemon
