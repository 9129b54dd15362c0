// SPDX-License-Identifier: Apache-2.0
#pragma once
// The status codes' names and meanings (the codes of talvenix.h), the one
// table of them: the command lists them, the daemon records and counts them.

#include <span>
#include <string>

namespace talvenix::host {

struct StatusCode {
  int code;
  const char* name;     // "pending"
  const char* meaning;  // for people
};

std::span<const StatusCode> StatusCodes();
// The code's name, or "unknown code".
const char* StatusName(int code);
std::string Describe(int code);  // "112 pending"

}  // namespace talvenix::host
