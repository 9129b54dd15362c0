// SPDX-License-Identifier: Apache-2.0
#pragma once
// Delivery reports the Kannel way, for users who switch from Kannel's
// sendsms: the dlr-url they gave is called with GET, its %-escapes replaced.

#include <string>

namespace talvenix::daemon {

// Report kinds of dlr-mask that the daemon can tell: from a status report,
// delivered to the phone (1), not delivered (2) or queued on the SMSC (4);
// from the outcome, the gateway took the message (8), or did not (16).
constexpr int kKannelDelivered = 1;
constexpr int kKannelUndelivered = 2;
constexpr int kKannelQueued = 4;
constexpr int kKannelSmscAccepted = 8;
constexpr int kKannelSmscRejected = 16;

// `url` with %d (report kind), %P (recipient), %A (outcome text) and %T
// (Unix time) replaced, the values percent-encoded; %% is a percent sign.
std::string KannelDlrUrl(const std::string& url, int kind, const std::string& recipient, const std::string& answer);

}  // namespace talvenix::daemon
