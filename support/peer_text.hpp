// SPDX-License-Identifier: Apache-2.0
#pragma once
// Text that a peer sent (an answer, a fault string, a server reply) made fit
// for one log line. A peer decides what it sends: a line break in it must not
// forge a log line of ours, and a megabyte answer must not become a megabyte
// line. Every gateway logs peer text through this one helper.

#include <cstddef>
#include <string>
#include <string_view>

namespace talvenix {

// Bytes of peer text kept in a log line.
constexpr size_t kPeerTextLogLimit = 300;

// `text` with control characters, backslashes and bytes that are not valid
// UTF-8 escaped (\n, \r, \t, \\, \xNN), cut to at most `limit` bytes of the original (never inside a UTF-8
// sequence); a cut text ends in "... (N bytes)" with its full length.
std::string PeerText(std::string_view text, size_t limit = kPeerTextLogLimit);

}  // namespace talvenix
