// SPDX-License-Identifier: Apache-2.0
// The module's DllMain: it only notes that the process is ending, before the
// runtime runs the static destructors (see module_lifetime.hpp).

#include <windows.h>

#include "platform/module_lifetime.hpp"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // A detach with `reserved` set comes from the process's end, not FreeLibrary.
  if (reason == DLL_PROCESS_DETACH && reserved) talvenix::platform::NoteProcessEnding();
  return TRUE;
}
