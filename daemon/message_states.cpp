// SPDX-License-Identifier: Apache-2.0
#include "daemon/message_states.hpp"

namespace talvenix::daemon {

bool IsFinal(std::string_view state) {
  return state == "sent" || state == "failed" || state == "unknown" || state == "expired";
}

bool MayRetry(std::string_view state) { return state == "unknown" || state == "failed"; }

std::optional<std::string> StateAfterCode(std::string_view state, int32_t code) {
  if (code == 112) return state == "sending" ? std::optional<std::string>("pending") : std::nullopt;
  if (IsFinal(state) || state == "queued") return std::nullopt;  // one outcome per send
  return code == 0 ? "sent" : "failed";
}

std::string StateAtRestart(std::string_view state, bool journal_trusted, bool named_in_journal) {
  return !journal_trusted || state == "pending" || named_in_journal ? "unknown" : "queued";
}

}  // namespace talvenix::daemon
