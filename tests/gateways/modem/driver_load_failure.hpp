// SPDX-License-Identifier: Apache-2.0
#pragma once
// The log line of a driver that does not load, carrying the number this
// system gives for `path` (and for `missing_entry` when the file loads).

#include <string>

#include "platform/dynamic_library.hpp"

namespace talvenix::testing {

inline std::string DriverLoadFailureLine(const std::string& path, const char* missing_entry = nullptr) {
  platform::DynamicLibrary probe;
  if (probe.Open(path) && missing_entry) probe.Symbol(missing_entry);
  return "GSMComDrv::init - failed to load GSM interface (erc: " + std::to_string(probe.LastErrorCode()) + ")";
}

}  // namespace talvenix::testing
