// SPDX-License-Identifier: Apache-2.0
#include "daemon/metrics.hpp"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include "hostkit/status_names.hpp"

namespace talvenix::daemon {

std::string MetricsText(const QueueStats& stats, const HttpStats& http, Dispatcher& dispatcher) {
  using namespace prometheus;
  Registry registry;
  BuildCounter()
      .Name("talvenixd_accepted_total")
      .Help("Messages accepted by the API")
      .Register(registry)
      .Add({})
      .Increment(static_cast<double>(stats.accepted));
  BuildCounter()
      .Name("talvenixd_sent_total")
      .Help("Messages the gateway took")
      .Register(registry)
      .Add({})
      .Increment(static_cast<double>(stats.sent_total));
  auto& failed = BuildCounter().Name("talvenixd_failed_total").Help("Failed sends by status code").Register(registry);
  for (const auto& [code, count] : stats.failed_per_code)
    failed.Add({{"code", std::to_string(code)}, {"name", host::StatusName(code)}})
        .Increment(static_cast<double>(count));
  auto& states = BuildGauge().Name("talvenixd_messages").Help("Messages per state").Register(registry);
  for (const auto& [state, count] : stats.messages_per_state)
    states.Add({{"state", state}}).Set(static_cast<double>(count));
  auto depth = stats.messages_per_state.find("queued");
  BuildGauge()
      .Name("talvenixd_queue_depth")
      .Help("Messages waiting for the module")
      .Register(registry)
      .Add({})
      .Set(depth == stats.messages_per_state.end() ? 0 : static_cast<double>(depth->second));
  BuildGauge()
      .Name("talvenixd_webhook_backlog")
      .Help("Webhook events not yet delivered")
      .Register(registry)
      .Add({})
      .Set(static_cast<double>(stats.webhook_backlog));
  BuildGauge()
      .Name("talvenixd_storage_ok")
      .Help("1 while the queue can write to its storage, 0 while writes fail (a full disk)")
      .Register(registry)
      .Add({})
      .Set(stats.storage_error.empty() ? 1 : 0);
  BuildGauge()
      .Name("talvenixd_http_connections")
      .Help("Client connections open now")
      .Register(registry)
      .Add({})
      .Set(http.open);
  BuildCounter()
      .Name("talvenixd_http_connections_refused_total")
      .Help("Client connections closed at once: over [api] connections or connections_per_address")
      .Register(registry)
      .Add({})
      .Increment(static_cast<double>(http.refused));
  BuildCounter()
      .Name("talvenixd_http_requests_timed_out_total")
      .Help("Requests whose head and body did not arrive within [api] request_timeout_seconds")
      .Register(registry)
      .Add({})
      .Increment(static_cast<double>(http.timed_out));
  BuildGauge()
      .Name("talvenixd_engine_running")
      .Help("1 while the module's engine runs")
      .Register(registry)
      .Add({})
      .Set(dispatcher.EngineRunning() ? 1 : 0);
  auto& lines = BuildGauge()
                    .Name("talvenixd_line_state")
                    .Help("State of each modem line: 0 started, 1 failed, 2 ready")
                    .Register(registry);
  for (const LineState& line : dispatcher.Lines())
    lines.Add({{"port", std::to_string(line.comport)}, {"name", line.name}}).Set(line.status);
  return TextSerializer().Serialize(registry.Collect());
}

}  // namespace talvenix::daemon
