// SPDX-License-Identifier: Apache-2.0
#pragma once
// The status page at /: server-rendered HTML that reloads itself.

#include <string>

#include "daemon/dispatcher.hpp"
#include "daemon/http_server.hpp"
#include "daemon/message_queue.hpp"

namespace talvenix::daemon {

std::string StatusPageHtml(const QueueStats& stats, const HttpStats& http, Dispatcher& dispatcher);

}  // namespace talvenix::daemon
