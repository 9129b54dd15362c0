// SPDX-License-Identifier: Apache-2.0
#include "daemon/metrics.hpp"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include "hostkit/status_names.hpp"
#include "talvenix/talvenix.h"

namespace talvenix::daemon {
namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::Registry;

void Counter(Registry& r, const char* name, const char* help, double value) {
  BuildCounter().Name(name).Help(help).Register(r).Add({}).Increment(value);
}

void Gauge(Registry& r, const char* name, const char* help, double value) {
  BuildGauge().Name(name).Help(help).Register(r).Add({}).Set(value);
}

}  // namespace

const char* LineStateName(uint32_t status) {
  switch (status) {
    case TALVEX_LINE_STARTED:
      return "started";
    case TALVEX_LINE_FAILED:
      return "failed";
    case TALVEX_LINE_READY:
      return "ready";
    default:
      return "unknown";
  }
}

std::string MetricsText(const QueueStats& stats, const HttpStats& http, Dispatcher& dispatcher,
                        const RunningMetrics::Snapshot& running) {
  Registry r;
  BuildGauge()
      .Name("talvenixd_build_info")
      .Help("The daemon's version, always 1")
      .Register(r)
      .Add({{"version", TALVENIX_VERSION}})
      .Set(1);
  Gauge(r, "process_start_time_seconds", "When the daemon started, in Unix seconds", running.started_ms / 1000.0);

  Counter(r, "talvenixd_accepted_total", "Messages accepted by the API", static_cast<double>(stats.accepted));
  Counter(r, "talvenixd_sent_total", "Sends the gateway took, retries included", static_cast<double>(stats.sent_total));
  auto& failed = BuildCounter().Name("talvenixd_failed_total").Help("Failed sends by status code").Register(r);
  for (const auto& [code, count] : stats.failed_per_code)
    failed.Add({{"code", std::to_string(code)}, {"name", host::StatusName(code)}})
        .Increment(static_cast<double>(count));
  Counter(r, "talvenixd_expired_total", "Messages whose time ran out before they were handed to the module",
          static_cast<double>(stats.expired_total));
  if (!stats.fleet.empty()) {
    auto& seen = BuildGauge()
                     .Name("talvenixd_fleet_daemon_last_seen_seconds")
                     .Help("When each daemon sharing the queue last said it runs, in Unix seconds")
                     .Register(r);
    for (const FleetDaemon& d : stats.fleet)
      seen.Add({{"daemon", d.name}, {"group", d.group}, {"gateway", d.gateway}}).Set(d.last_seen_ms / 1000.0);
  }
  auto& tenant_messages = BuildCounter()
                              .Name("talvenixd_tenant_messages_total")
                              .Help(
                                  "Each tenant's messages by event: accepted, sent, failed, unknown, expired "
                                  "(a retried message counts again)")
                              .Register(r);
  auto& tenant_parts = BuildCounter()
                           .Name("talvenixd_tenant_parts_sent_total")
                           .Help("SMS parts the gateway took for each tenant's messages, as a provider bills them")
                           .Register(r);
  for (const auto& [tenant, totals] : stats.tenant_totals)
    for (const auto& [what, count] : totals)
      (what == "parts_sent" ? tenant_parts.Add({{"tenant", tenant}})
                            : tenant_messages.Add({{"tenant", tenant}, {"event", what}}))
          .Increment(static_cast<double>(count));
  auto& refusals = BuildCounter()
                       .Name("talvenixd_tenant_refused_total")
                       .Help("Messages refused by their tenant's own throttle or daily cap (429)")
                       .Register(r);
  for (const auto& [key, count] : running.tenant_refusals)
    refusals.Add({{"tenant", key.first}, {"reason", key.second}}).Increment(static_cast<double>(count));
  auto& states = BuildGauge().Name("talvenixd_messages").Help("Stored messages per state").Register(r);
  for (const auto& [state, count] : stats.messages_per_state)
    states.Add({{"state", state}}).Set(static_cast<double>(count));

  auto& sends = prometheus::BuildHistogram()
                    .Name("talvenixd_send_duration_seconds")
                    .Help("From handing a message to the module to its outcome")
                    .Register(r);
  std::vector<double> increments(running.send_times.buckets.begin(), running.send_times.buckets.end());
  sends
      .Add({}, prometheus::Histogram::BucketBoundaries(RunningMetrics::kSendBuckets.begin(),
                                                       RunningMetrics::kSendBuckets.end()))
      .ObserveMultiple(increments, running.send_times.sum);

  Gauge(r, "talvenixd_webhook_backlog", "Webhook events not yet delivered", static_cast<double>(stats.webhook_backlog));
  auto& deliveries =
      BuildCounter().Name("talvenixd_webhook_attempts_total").Help("Webhook delivery attempts by result").Register(r);
  const char* results[] = {"delivered", "retried", "expired", "failed"};  // in WebhookOutcome's order
  for (size_t i = 0; i < running.webhooks.size(); ++i)
    deliveries.Add({{"result", results[i]}}).Increment(static_cast<double>(running.webhooks[i]));

  Gauge(r, "talvenixd_storage_ok", "1 while the queue can write to its storage, 0 while writes fail (a full disk)",
        stats.storage_error.empty() ? 1 : 0);
  auto& requests = BuildCounter()
                       .Name("talvenixd_http_requests_total")
                       .Help("API requests answered, by route and status")
                       .Register(r);
  for (const auto& [key, count] : running.requests)
    requests.Add({{"route", key.first}, {"status", std::to_string(key.second)}}).Increment(static_cast<double>(count));
  Gauge(r, "talvenixd_http_connections", "Client connections open now", http.open);
  Counter(r, "talvenixd_http_connections_refused_total",
          "Client connections closed at once: over [api] connections or connections_per_address",
          static_cast<double>(http.refused));
  Counter(r, "talvenixd_http_requests_timed_out_total",
          "Requests whose head and body did not arrive within [api] request_timeout_seconds",
          static_cast<double>(http.timed_out));

  Gauge(r, "talvenixd_engine_running", "1 while the module's engine runs", dispatcher.EngineRunning() ? 1 : 0);
  Gauge(r, "talvenixd_sends_in_parallel",
        "Sends in flight at most: [queue] parallel where the running gateway takes several at once, else 1",
        dispatcher.Parallel());
  auto& lines = BuildGauge()
                    .Name("talvenixd_line_state")
                    .Help("1 for the state each modem line is in, 0 for the others")
                    .Register(r);
  for (const LineState& line : dispatcher.Lines())
    for (uint32_t status : {TALVEX_LINE_STARTED, TALVEX_LINE_FAILED, TALVEX_LINE_READY})
      lines.Add({{"port", std::to_string(line.comport)}, {"name", line.name}, {"state", LineStateName(status)}})
          .Set(line.status == status ? 1 : 0);
  return prometheus::TextSerializer().Serialize(r.Collect());
}

}  // namespace talvenix::daemon
