// SPDX-License-Identifier: Apache-2.0
#include "daemon/status_page.hpp"

namespace talvenix::daemon {
namespace {

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

const char* LineStatusName(uint32_t status) {
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

int64_t Count(const QueueStats& stats, const char* state) {
  auto it = stats.messages_per_state.find(state);
  return it == stats.messages_per_state.end() ? 0 : it->second;
}

}  // namespace

std::string StatusPageHtml(const QueueStats& stats, const HttpStats& http, Dispatcher& dispatcher) {
  std::string html =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" content=\"5\">"
      "<title>talvenixd</title><style>body{font-family:sans-serif}td,th{padding:2px 8px;text-align:left}</style>"
      "</head><body>\n<h1>talvenixd</h1>\n";
  std::string gateway = dispatcher.Gateway();
  html += "<p>Gateway: <b id=\"gateway\">" + Escape(gateway.empty() ? "none" : gateway) +
          "</b>, engine <b id=\"engine\">" + (dispatcher.EngineRunning() ? "running" : "stopped") + "</b></p>\n";
  html += "<p>Queue depth: <b id=\"queue-depth\">" + std::to_string(Count(stats, "queued")) +
          "</b>; webhook backlog: <b id=\"webhook-backlog\">" + std::to_string(stats.webhook_backlog) + "</b></p>\n";
  html += "<p>Storage: <b id=\"storage\">" +
          (stats.storage_error.empty() ? std::string("writing") : "failing: " + Escape(stats.storage_error)) +
          "</b></p>\n";
  html += "<p>Connections: <b id=\"connections\">" + std::to_string(http.open) + "</b> open; " +
          std::to_string(http.refused) + " refused over the caps, " + std::to_string(http.timed_out) +
          " requests cut off by their deadline</p>\n";

  html += "<h2>Lines</h2>\n";
  auto lines = dispatcher.Lines();
  if (lines.empty()) {
    html += "<p>No line has reported.</p>\n";
  } else {
    html += "<table id=\"lines\"><tr><th>Port</th><th>Name</th><th>State</th><th>Code</th><th>Since</th></tr>\n";
    for (const LineState& l : lines)
      html += "<tr><td>COM" + std::to_string(l.comport) + "</td><td>" + Escape(l.name) +
              "</td><td class=\"line-state\" id=\"line-" + std::to_string(l.comport) + "\">" +
              LineStatusName(l.status) + "</td><td>" + std::to_string(l.code) + "</td><td>" + IsoTime(l.at_ms) +
              "</td></tr>\n";
    html += "</table>\n";
  }

  html += "<h2>Messages</h2>\n<table id=\"states\"><tr><th>State</th><th>Messages</th></tr>\n";
  for (const char* state : {"queued", "sending", "pending", "sent", "failed", "unknown"})
    html += std::string("<tr><td>") + state + "</td><td id=\"state-" + state + "\">" +
            std::to_string(Count(stats, state)) + "</td></tr>\n";
  html += "</table>\n<h2>Last errors</h2>\n";
  if (stats.last_errors.empty()) html += "<p>None.</p>\n";
  for (const std::string& e : stats.last_errors) html += "<pre>" + Escape(e) + "</pre>\n";
  html += "</body></html>\n";
  return html;
}

}  // namespace talvenix::daemon
