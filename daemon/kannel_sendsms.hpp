// SPDX-License-Identifier: Apache-2.0
#pragma once
// Kannel's /cgi-bin/sendsms as Kannel's clients send it: a GET query or a
// form-encoded POST with Kannel's parameter names, answered in Kannel's
// plain text and status codes.

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "daemon/http_server.hpp"
#include "daemon/message_queue.hpp"

namespace talvenix::daemon {

struct KannelRequest {
  std::string password;              // "password" or "pass"; the user name is not checked
  std::vector<NewMessage> messages;  // one per recipient, in the order of "to"
};

struct KannelRefusal {
  int status;
  std::string text;
};

// Reads the parameters of `form` at `now_ms`: the text in its charset, the
// recipients separated by blanks (a '+' left unencoded is one), Kannel's
// deferred, validity, priority and delivery reports. A parameter Kannel
// knows and the daemon does not carry out is refused, not dropped.
std::variant<KannelRequest, KannelRefusal> ReadKannelSendSms(std::string_view form, int64_t now_ms,
                                                             size_t max_recipients);

// An answer as Kannel's smsbox gives it.
HttpResponse KannelAnswer(int status, std::string text);

inline constexpr const char* kKannelAuthFailed = "Authorization failed for sendsms";
inline constexpr const char* kKannelAccepted = "0: Accepted for delivery";
inline constexpr const char* kKannelTemporalFailure = "Temporal failure, try again later.";

}  // namespace talvenix::daemon
