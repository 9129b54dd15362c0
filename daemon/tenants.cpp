// SPDX-License-Identifier: Apache-2.0
#include "daemon/tenants.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "daemon/crypto.hpp"

namespace talvenix::daemon {
namespace {

constexpr int64_t kDayMs = 86400000;

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// Every digest is compared, whether or not one matched already.
bool AnyDigestOf(const std::vector<std::string>& digests, const std::string& digest) {
  bool found = false;
  for (const std::string& d : digests) found |= SameText(d, digest);
  return found;
}

}  // namespace

const Tenant* TenantOfKey(const std::vector<Tenant>& tenants, const std::string& key) {
  if (key.empty()) return nullptr;
  const std::string digest = Sha256Hex(key);
  const Tenant* found = nullptr;
  for (const Tenant& t : tenants)
    if (AnyDigestOf(t.key_digests, digest)) found = &t;
  return found;
}

bool HoldsKey(const std::vector<std::string>& digests, const std::string& key) {
  return !key.empty() && AnyDigestOf(digests, Sha256Hex(key));
}

bool IsTenantName(const std::string& name) {
  return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
  });
}

TenantLimits::TenantLimits(std::function<int64_t(const std::string&, int64_t)> accepted_on_day)
    : accepted_on_day_(std::move(accepted_on_day)) {}

TenantLimits::State& TenantLimits::StateOf(const Tenant& tenant, int64_t now_ms) {
  State& s = states_[tenant.name];
  const int64_t day = now_ms / kDayMs;
  if (s.day != day) {
    s.day = day;
    s.accepted_today = accepted_on_day_(tenant.name, day);
  }
  // A bucket of one second's messages (at least one), refilled at the rate.
  const double size = std::max(tenant.messages_per_second, 1.0);
  if (!s.started) {
    s.started = true;
    s.tokens = size;
  }
  s.tokens = std::min(size, s.tokens + (now_ms - s.refilled_ms) / 1000.0 * tenant.messages_per_second);
  s.refilled_ms = now_ms;
  return s;
}

std::optional<TenantLimits::Refusal> TenantLimits::Take(const Tenant& tenant, int count, int64_t now_ms) {
  std::lock_guard lock(mutex_);
  State& s = StateOf(tenant, now_ms);
  if (tenant.daily_cap > 0 && s.accepted_today + count > tenant.daily_cap) {
    const int64_t next_day_ms = (now_ms / kDayMs + 1) * kDayMs;
    return Refusal{"daily_cap",
                   "the key's daily cap of " + std::to_string(tenant.daily_cap) + " messages is reached (" +
                       std::to_string(s.accepted_today) + " accepted today, UTC)",
                   std::max<int64_t>(1, (next_day_ms - now_ms + 999) / 1000)};
  }
  if (tenant.messages_per_second > 0) {
    // A request for more than a bucket holds goes when the bucket is full and
    // leaves it in debt: the rate holds on average, and no size is refused for ever.
    const double needed = std::min<double>(count, std::max(tenant.messages_per_second, 1.0));
    if (s.tokens < needed) {
      const double wait_s = (needed - s.tokens) / tenant.messages_per_second;
      return Refusal{"throttle",
                     "the key's throttle of " + Number(tenant.messages_per_second) + " messages per second is used up",
                     std::max<int64_t>(1, static_cast<int64_t>(std::ceil(wait_s)))};
    }
    s.tokens -= count;
  }
  s.accepted_today += count;
  return std::nullopt;
}

void TenantLimits::GiveBack(const Tenant& tenant, int count, int64_t now_ms) {
  std::lock_guard lock(mutex_);
  State& s = StateOf(tenant, now_ms);
  s.accepted_today = std::max<int64_t>(0, s.accepted_today - count);
  if (tenant.messages_per_second > 0) s.tokens += count;
}

int64_t TenantLimits::AcceptedToday(const Tenant& tenant, int64_t now_ms) {
  std::lock_guard lock(mutex_);
  return StateOf(tenant, now_ms).accepted_today;
}

}  // namespace talvenix::daemon
