// SPDX-License-Identifier: Apache-2.0
#pragma once
// The commands of ExecuteCommand: 0 starts the test-message channel (a
// mailslot server with a time limit) and drops a test message file into the
// host's outgoing folder; 1 stops the channel; 2 writes a line into it, from
// this or any other process of the same user. At most one server listens.
// Commands come from the host's thread; a test callback may also call them.

#include <cstdint>

#include "contract/log_interface.hpp"

namespace talvenix {

// The time limit of command 0, unless TALVENIX_TEST_TIMEOUT_MS holds a
// number of milliseconds (tests and demonstrations shorten it; 0: no limit).
constexpr uint32_t kTestTimeLimitMs = 60000;

// Runs one command; the result is the export's status code.
int32_t ExecuteTestCommand(ILogInterface* logger, uint32_t command, void* data);

// Whether the channel has threads of its own: a server starting or
// listening, or one still being stopped.
bool TestChannelRuns();
// Whether this thread is running a test callback.
bool InsideTestCallback();

}  // namespace talvenix
