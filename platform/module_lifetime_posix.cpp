// SPDX-License-Identifier: Apache-2.0
#include "platform/module_lifetime.hpp"

namespace talvenix::platform {

// exit and dlclose run the static destructors while the threads still run.
bool ProcessIsEnding() { return false; }
void NoteProcessEnding() {}

ModuleHold::ModuleHold() = default;
ModuleHold::~ModuleHold() = default;

}  // namespace talvenix::platform
