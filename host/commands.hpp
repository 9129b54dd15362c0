// SPDX-License-Identifier: Apache-2.0
#pragma once
// Subcommands of the `talvenix` host. Each lives in its own file and is
// listed once in the table of commands.cpp.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/arguments.hpp"
#include "hostkit/module.hpp"
#include "hostkit/status_names.hpp"

namespace talvenix::host {

using Args = std::vector<std::string>;

struct Command {
  const char* name;
  const char* usage;    // arguments after the name
  const char* summary;  // one line for --help
  const char* help;     // its options and words, for "talvenix NAME --help"
  int (*run)(Module& module, const Args& args);
};

const std::vector<Command>& Commands();

// Shared by the commands.
// Prints events of the host callback to stdout; thread-safe.
int32_t PrintingCallback(int32_t code, int32_t extra, uint32_t event_kind, uintptr_t context, void* data,
                         uint32_t data_kind);
// False, with a message naming `command`, when the working folder holds no
// qvsmscomms.xml: the loader would only say that the options do not load.
bool ConfigurationPresent(const char* command);
// Blocks until Ctrl-C or `seconds` have passed; returns true on Ctrl-C.
bool WaitForInterrupt(double seconds);
// Blocks until PrintingCallback saw an outcome event, Ctrl-C or `seconds`;
// the outcome's code, or nothing when none came.
std::optional<int32_t> WaitForOutcome(double seconds);

int RunSend(Module& module, const Args& args);
int RunListen(Module& module, const Args& args);
int RunCodes(Module& module, const Args& args);
int RunConfig(Module& module, const Args& args);
int RunService(Module& module, const Args& args);
int RunLines(Module& module, const Args& args);
int RunTestSms(Module& module, const Args& args);
int RunTestSmsReport(Module& module, const Args& args);

}  // namespace talvenix::host
