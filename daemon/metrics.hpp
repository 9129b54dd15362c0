// SPDX-License-Identifier: Apache-2.0
#pragma once
// /metrics in the Prometheus text format, made at each scrape from the
// queue's running counts, the figures counted as they happen and the lines'
// states.

#include <string>

#include "daemon/dispatcher.hpp"
#include "daemon/http_server.hpp"
#include "daemon/message_queue.hpp"
#include "daemon/running_metrics.hpp"

namespace talvenix::daemon {

constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

std::string MetricsText(const QueueStats& stats, const HttpStats& http, Dispatcher& dispatcher,
                        const RunningMetrics::Snapshot& running);

// "started", "failed" or "ready".
const char* LineStateName(uint32_t status);

}  // namespace talvenix::daemon
