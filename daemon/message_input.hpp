// SPDX-License-Identifier: Apache-2.0
#pragma once
// Checks of a message given to the API (JSON or Kannel's query), one rule
// set for both.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/address_policy.hpp"
#include "daemon/message_queue.hpp"
#include "support/text_fit.hpp"

namespace talvenix::daemon {

struct FieldError {
  std::string field, why;
};

constexpr int kMaxPriority = 3;  // Kannel's range, 0-3
constexpr int64_t kMinuteMs = 60'000;
constexpr int64_t kMaxAheadMinutes = 366 * 24 * 60;  // a schedule or a validity: a year at most

// The fields of a message in the JSON API.
inline constexpr const char* kMessageFields[] = {"to",      "text",        "from",     "client_ref", "callback_url",
                                                 "send_at", "valid_until", "validity", "priority",   "group"};
// Those the running gateway carries out: `from` only when it sends with the
// request's sender.
std::vector<std::string> HonouredFields(bool gateway_has_own_sender);

// Checks `m` at `now_ms` and puts its text into canonical UTF-8 (bad bytes
// become U+FFFD) and its receiver's URL into libcurl's form; a receiver at
// an address that `webhook_policy` refuses is refused here when the URL
// names the address.
std::optional<FieldError> CheckMessage(NewMessage& m, const AddressPolicy& webhook_policy, int64_t now_ms);

// Sets when `m` expires from a validity in minutes, counted from its send_at
// (or `now_ms`); the error names `field`.
std::optional<FieldError> SetValidity(NewMessage& m, int64_t minutes, const char* field, int64_t now_ms);

// Unix milliseconds of an RFC 3339 time ("2026-12-10T09:30:00Z",
// "2026-12-10T10:30:00.250+01:00"); nothing when the text is none.
std::optional<int64_t> ParseRfc3339(std::string_view text);

struct SplitCheck {
  int parts = 0;        // the parts the whole text takes
  std::string refusal;  // why the engine would cut it, naming the count and the limit; empty: it goes out whole
};
SplitCheck CheckSplit(const std::string& text, const sms::FitRules& rules);

}  // namespace talvenix::daemon
