#pragma once
// The status page at /: server-rendered HTML that reloads itself.

#include <string>

#include "daemon/dispatcher.hpp"
#include "daemon/message_queue.hpp"

namespace talvenix::daemon {

std::string StatusPageHtml(const QueueStats& stats, Dispatcher& dispatcher);

}  // namespace talvenix::daemon
