// SPDX-License-Identifier: Apache-2.0
#pragma once
// Tying a modem line's status reports to the messages they report on: the
// references a send left in its request's receipt, what a report's TP-Status
// means, and when a report's recipient is the message's.

#include <cstdint>
#include <optional>
#include <string>

#include "daemon/message_queue.hpp"
#include "talvenix/talvenix.h"

namespace talvenix::daemon {

// How long after a send its reports may come: the AT driver asks for a
// validity of four days, and a day more for reports that are late
// themselves. An older use of a reference is never matched.
constexpr int64_t kReportWindowMs = 5LL * 24 * 3600 * 1000;

// The references of the parts the driver sent, from the receipt it left in
// the request (none without a receipt, or when no part's reference is known).
std::optional<SentReferences> ReadReceipt(const TalvexSmsRequest& request);

// "delivered" (TP-Status 0x00-0x1F), "still_trying" (0x20-0x3F) or "failed".
const char* DeliveryState(uint32_t status);

// The report's recipient and the message's are one number: the same digits,
// or, when one is written nationally and the other internationally, the
// same last nine digits.
bool SameRecipient(const std::string& a, const std::string& b);

// Which report can be tied at all: one of a modem line, whose reference
// fits the one byte the network numbers parts with.
bool MayBeTied(const StatusReport& r);
// Whether `r`, at `now_ms`, reports on the newest use of its line's
// reference: made within the window, to the report's recipient. Only the
// newest use counts: references wrap at 256, and a report put on the wrong
// message (another customer's, perhaps) is worse than one left unmatched.
bool ReportsOn(const StatusReport& r, int64_t now_ms, int64_t used_ms, const std::string& used_for);

}  // namespace talvenix::daemon
