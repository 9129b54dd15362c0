// SPDX-License-Identifier: Apache-2.0
#pragma once
// The rules of a message's states, whichever queue stores them:
//   queued -> sending (claimed) -> pending (112) -> sent | failed
//   queued -> expired, when its time ran out before it was claimed
//   sending | pending -> unknown at a restart, when the module may have it;
//   sending -> queued at a restart, when it was never handed to the module
//   unknown | failed -> queued, when someone asks (retry)

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace talvenix::daemon {

// sent, failed, unknown, expired: nothing moves it on by itself.
bool IsFinal(std::string_view state);
// unknown, failed: a retry may queue it again.
bool MayRetry(std::string_view state);
// Where a send's code moves a message in `state`; none when it stays: a 112
// after the outcome overtook the send's own return, or a second outcome.
std::optional<std::string> StateAfterCode(std::string_view state, int32_t code);
// What a message left in `state` (sending or pending) by a stopped daemon
// becomes: unknown unless it was surely never handed to the module, which a
// trusted journal that does not name it tells.
std::string StateAtRestart(std::string_view state, bool journal_trusted, bool named_in_journal);

}  // namespace talvenix::daemon
