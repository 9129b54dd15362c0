// SPDX-License-Identifier: Apache-2.0
#pragma once
// The folder of a loaded module on Windows, for the platform files that need
// it (the program's own, a library's).

#include <windows.h>

#include <string>

namespace talvenix::platform {

// The folder of `module` (null: the program), UTF-8, without the trailing
// separator; empty when it cannot be told.
std::string ModuleFolder(HMODULE module);

}  // namespace talvenix::platform
