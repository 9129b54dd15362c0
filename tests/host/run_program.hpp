// SPDX-License-Identifier: Apache-2.0
#pragma once
// Runs the built `talvenix` program through the shell, as a person would, and
// keeps what it printed.

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace talvenix::testing {

struct Outcome {
  int status;          // the exit status; -1 when it did not exit normally
  std::string output;  // stdout and stderr
};

// `command` is a shell command line; stderr is collected with stdout.
inline Outcome RunShell(const std::string& command) {
  Outcome outcome{-1, {}};
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return outcome;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) outcome.output.append(buffer, n);
  int status = pclose(pipe);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

}  // namespace talvenix::testing
