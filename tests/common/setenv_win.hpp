// SPDX-License-Identifier: Apache-2.0
#pragma once
// setenv and unsetenv for the tests' Windows build (MSVCRT has neither),
// force-included by tests/CMakeLists.txt. The module reads the same CRT
// environment through getenv, so a test's setting reaches it. An empty value
// removes the variable there, as _putenv_s does.

#include <stdlib.h>

inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name)) return 0;
  return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }
