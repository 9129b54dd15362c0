// SPDX-License-Identifier: Apache-2.0
#pragma once
// Checks of a message given to the API (JSON or Kannel's query), one rule
// set for both.

#include <optional>
#include <string>

#include "daemon/address_policy.hpp"
#include "daemon/message_queue.hpp"
#include "support/text_fit.hpp"

namespace talvenix::daemon {

struct FieldError {
  std::string field, why;
};

// Checks `m` and puts its text into canonical UTF-8 (bad bytes become U+FFFD)
// and its receiver's URL into libcurl's form; a receiver at an address that
// `webhook_policy` refuses is refused here when the URL names the address.
std::optional<FieldError> CheckMessage(NewMessage& m, const AddressPolicy& webhook_policy);

// Why the running engine would cut `text` (UTF-8) under its splitting
// rules, naming the count and the limit; empty when it goes out whole.
std::string SplitRefusal(const std::string& text, const sms::FitRules& rules);

}  // namespace talvenix::daemon
