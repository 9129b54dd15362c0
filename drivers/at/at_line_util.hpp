// SPDX-License-Identifier: Apache-2.0
#pragma once
// Small helpers of the line's files: time left until a deadline, and the
// pieces of an answer line (numbers, prefixes, hex digits).

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace talvenix::at::line {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kMaxRetries = 10;
constexpr int32_t kFailed = 1;
constexpr int32_t kNotTried = -1;  // the device went away before anything was written

inline uint32_t MsUntil(Clock::time_point t) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
  return left <= 0 ? 0u : static_cast<uint32_t>(left);
}

inline int NumberAfter(const std::string& line, size_t from) {
  size_t i = line.find_first_of("0123456789", from);
  if (i == std::string::npos) return -1;
  return std::atoi(line.c_str() + i);
}

// The last comma-separated field as a number (the length of +CMGR:/+CMGL:).
inline int LastField(const std::string& line) {
  size_t comma = line.rfind(',');
  return comma == std::string::npos ? -1 : NumberAfter(line, comma + 1);
}

inline bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

inline bool IsHex(const std::string& s) {
  return !s.empty() && s.size() % 2 == 0 && s.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos;
}

}  // namespace talvenix::at::line
