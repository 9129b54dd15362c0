#pragma once
// The daemon's few uses of OpenSSL: key digests, webhook signatures, ids.

#include <string>
#include <string_view>

namespace talvenix::daemon {

std::string Sha256Hex(std::string_view data);
std::string HmacSha256Hex(std::string_view key, std::string_view data);
// 32 hex digits from the system's random source: message and event ids.
std::string RandomId();
// Compares without leaking where the first difference is.
bool SameText(std::string_view a, std::string_view b);

}  // namespace talvenix::daemon
