// SPDX-License-Identifier: Apache-2.0
#pragma once
// What makes a local mailslot name, the same on every platform.

#include <string_view>

namespace talvenix::platform {

constexpr std::string_view kLocalMailslotPrefix = "\\\\.\\mailslot\\";

// "\\.\mailslot\" (in any case) and then one or more parts separated by single
// backslashes: no part empty, "." or "..", no '/' and no NUL anywhere.
bool IsLocalMailslotName(std::string_view name);

}  // namespace talvenix::platform
