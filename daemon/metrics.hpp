// SPDX-License-Identifier: Apache-2.0
#pragma once
// /metrics in the Prometheus text format, made from the queue's figures and
// the lines' states at each scrape.

#include <string>

#include "daemon/dispatcher.hpp"
#include "daemon/http_server.hpp"
#include "daemon/message_queue.hpp"

namespace talvenix::daemon {

std::string MetricsText(const QueueStats& stats, const HttpStats& http, Dispatcher& dispatcher);

}  // namespace talvenix::daemon
