// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include <atomic>

#include "platform/module_lifetime.hpp"

namespace talvenix::platform {
namespace {

std::atomic<bool> g_process_ending{false};

}  // namespace

bool ProcessIsEnding() { return g_process_ending.load(std::memory_order_acquire); }
void NoteProcessEnding() { g_process_ending.store(true, std::memory_order_release); }

ModuleHold::ModuleHold() {
  HMODULE module = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&g_process_ending), &module))
    module_ = module;
}

// Released on a host's call (Unint, a stop), whose own reference keeps the
// module mapped while this returns.
ModuleHold::~ModuleHold() {
  if (module_) FreeLibrary(static_cast<HMODULE>(module_));
}

}  // namespace talvenix::platform
