// SPDX-License-Identifier: Apache-2.0
#pragma once
// The daemon's few uses of OpenSSL: key digests, webhook signatures, ids, the
// password of a browser's login.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace talvenix::daemon {

std::string Sha256Hex(std::string_view data);
std::string HmacSha256Hex(std::string_view key, std::string_view data);
// Message and event ids: 32 hex digits, 12 of the time `ms` and 20 from the
// system's random source. New rows keyed by them go to the end of their index
// instead of all over it, so a commit writes a few pages, not one per row.
std::string TimeOrderedId(int64_t ms);
// Standard base64 (RFC 4648) to bytes; nullopt when `text` is not base64.
std::optional<std::string> Base64Decode(std::string_view text);
// Compares without leaking where the first difference is.
bool SameText(std::string_view a, std::string_view b);

}  // namespace talvenix::daemon
