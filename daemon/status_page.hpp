// SPDX-License-Identifier: Apache-2.0
#pragma once
// The status page at /: one server-rendered HTML page with no outside
// resource, an SVG chart of the last hour drawn here, readable from a phone's
// width up, refreshing its main part by itself (a small inline script that
// fetches the page again; without scripts it is still whole).

#include <string>

#include "daemon/dispatcher.hpp"
#include "daemon/http_server.hpp"
#include "daemon/message_queue.hpp"
#include "daemon/running_metrics.hpp"

namespace talvenix::daemon {

std::string StatusPageHtml(const QueueStats& stats, const HttpStats& http, Dispatcher& dispatcher,
                           const RunningMetrics::Snapshot& running, int64_t now_ms = NowMs());

}  // namespace talvenix::daemon
