// SPDX-License-Identifier: Apache-2.0
#pragma once
// Where the running program's own file lives, so a program finds files
// installed beside it wherever the tree was put. Any thread.

#include <string>

namespace talvenix::platform {

// Folder of the running program's file (UTF-8), without the trailing
// separator; empty when the system cannot tell.
std::string ProgramFolder();

}  // namespace talvenix::platform
