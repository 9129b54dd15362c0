// SPDX-License-Identifier: Apache-2.0
#include "daemon/status_page.hpp"

#include <map>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <map>

#include "daemon/message_input.hpp"
#include "daemon/metrics.hpp"
#include "daemon/webhook_url.hpp"
#include "hostkit/status_names.hpp"

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

// A table that scrolls on its own on narrow screens, up to its first row.
std::string TableStart(const std::string& id, const std::string& label, std::initializer_list<const char*> columns) {
  std::string html = "<div class=\"scroll\" tabindex=\"0\" role=\"region\" aria-label=\"" + label + "\"><table id=\"" +
                     id + "\"><thead><tr>";
  for (const char* c : columns) html += std::string("<th scope=\"col\">") + c + "</th>";
  return html + "</tr></thead><tbody>";
}

int64_t Count(const QueueStats& stats, const char* state) {
  auto it = stats.messages_per_state.find(state);
  return it == stats.messages_per_state.end() ? 0 : it->second;
}

std::string Duration(int64_t ms) {
  const int64_t s = ms / 1000;
  char text[64];
  if (s >= 86400)
    std::snprintf(text, sizeof text, "%lldd %lldh", static_cast<long long>(s / 86400),
                  static_cast<long long>(s % 86400 / 3600));
  else if (s >= 3600)
    std::snprintf(text, sizeof text, "%lldh %lldm", static_cast<long long>(s / 3600),
                  static_cast<long long>(s % 3600 / 60));
  else
    std::snprintf(text, sizeof text, "%lldm %llds", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
  return text;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value < 10 ? "%.2f" : "%.0f", value);
  return text;
}

// A receiver's URL as the page shows it: its origin only, since a path or a
// query may carry a token.
std::string Receiver(const std::string& url) {
  std::string why;
  std::optional<WebhookUrl> parsed = ParseWebhookUrl(url, why);
  return parsed ? parsed->origin : "(not a URL)";
}

// Messages per second accepted and sent in each ten seconds of the last
// hour: two lines over a light grid, drawn to the width of the page (the
// labels are HTML, so they keep their size on a phone); the figures are in
// its title for those who do not see it.
std::string Chart(const std::vector<RunningMetrics::Slot>& slots) {
  constexpr double kWidth = 720, kHeight = 160;
  const double seconds = RunningMetrics::kSlotMs / 1000.0;
  double peak = 0;
  int64_t accepted = 0, sent = 0;
  for (const auto& s : slots) {
    peak = std::max({peak, s.accepted / seconds, s.sent / seconds});
    accepted += s.accepted;
    sent += s.sent;
  }
  const double scale = peak > 0 ? peak : 1;
  const double x_step = kWidth / std::max<size_t>(slots.size() - 1, 1);
  auto line = [&](auto value) {
    std::string points;
    for (size_t i = 0; i < slots.size(); ++i)
      points +=
          Number(i * x_step) + "," + Number(kHeight - 2 - (kHeight - 4) * value(slots[i]) / seconds / scale) + " ";
    return points;
  };
  const std::string title = "Messages per second over the last hour: " + std::to_string(accepted) + " accepted, " +
                            std::to_string(sent) + " sent; at most " + Number(peak) + " per second";
  std::string html = "<p class=\"chart-top\">at most <b id=\"peak\">" + Number(peak) + "</b> per second</p>";
  html +=
      "<svg viewBox=\"0 0 720 160\" preserveAspectRatio=\"none\" role=\"img\" aria-labelledby=\"chart-title\" "
      "id=\"chart\"><title id=\"chart-title\">" +
      Escape(title) + "</title>";
  for (int i = 0; i <= 4; ++i)
    html += "<line x1=\"0\" x2=\"720\" y1=\"" + Number(2 + (kHeight - 4) * i / 4) + "\" y2=\"" +
            Number(2 + (kHeight - 4) * i / 4) + "\" class=\"grid\" vector-effect=\"non-scaling-stroke\"/>";
  for (auto [name, value] :
       {std::pair{"accepted", &RunningMetrics::Slot::accepted}, std::pair{"sent", &RunningMetrics::Slot::sent}})
    html += std::string("<polyline class=\"") + name + "\" vector-effect=\"non-scaling-stroke\" points=\"" +
            line([value](const RunningMetrics::Slot& s) { return double(s.*value); }) + "\"/>";
  html += "</svg><p class=\"chart-axis\"><span>60 min ago</span><span>now</span></p>";
  return html;
}

constexpr const char* kStyle =
    "*{box-sizing:border-box}body{margin:0;font:15px/1.45 system-ui,sans-serif;color:#1b1f24;background:#f4f6f8}"
    "header{background:#17324d;color:#fff;padding:12px 16px;display:flex;flex-wrap:wrap;gap:4px 16px;"
    "align-items:baseline}header h1{font-size:20px;margin:0}header p{margin:0;color:#dfe8f1}"
    "main{padding:12px;display:grid;gap:12px;grid-template-columns:repeat(auto-fit,minmax(min(100%,20rem),1fr))}"
    "section{background:#fff;border:1px solid #d5dbe1;border-radius:6px;padding:12px 14px;min-width:0}"
    "section.wide{grid-column:1/-1}h2{font-size:16px;margin:0 0 8px}"
    "dl{display:grid;grid-template-columns:auto auto;gap:2px 12px;margin:0}dt{color:#4a5561}dd{margin:0;"
    "text-align:right;font-variant-numeric:tabular-nums;font-weight:600}"
    "table{border-collapse:collapse;width:100%}th,td{text-align:left;padding:4px 6px;border-bottom:1px solid #e3e7eb;"
    "vertical-align:top}.scroll{overflow-x:auto}"
    "ul.log{list-style:none;margin:0;padding:0}ul.log li{font:13px/1.4 ui-monospace,monospace;padding:4px 0;"
    "border-bottom:1px solid #e3e7eb;overflow-wrap:anywhere}"
    ".ok{color:#146c2e}.bad{color:#a8071a}.warn{color:#8a5300}"
    "svg{display:block;width:100%;height:160px}.grid{stroke:#e3e7eb}"
    ".chart-top,.chart-axis{margin:0;font-size:13px;color:#4a5561}.chart-axis{display:flex;"
    "justify-content:space-between}"
    "polyline{fill:none;stroke-width:2}.accepted{stroke:#1f5fa8}.sent{stroke:#1b7f3b}"
    ".key span{display:inline-block;width:12px;height:3px;vertical-align:middle;margin:0 4px 0 12px}"
    ".key .accepted{background:#1f5fa8}.key .sent{background:#1b7f3b}";

// Fetches the page again and puts its main part in place, every ten seconds.
constexpr const char* kRefresh =
    "<script>setInterval(async()=>{try{const r=await fetch(location.href,{credentials:'same-origin'});"
    "if(!r.ok)return;const d=new DOMParser().parseFromString(await r.text(),'text/html');"
    "const m=d.querySelector('main');if(m)document.querySelector('main').replaceWith(m);"
    "const h=d.querySelector('header');if(h)document.querySelector('header').replaceWith(h);}catch(e){}},10000);"
    "</script>";

}  // namespace

std::string StatusPageHtml(const QueueStats& stats, const HttpStats& http, Dispatcher& dispatcher,
                           const RunningMetrics::Snapshot& running, int64_t now_ms) {
  std::string gateway = dispatcher.Gateway();
  const bool engine = dispatcher.EngineRunning();
  std::string html = std::string(
                         "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                         "<title>talvenixd</title><style>") +
                     kStyle + "</style></head><body>\n";
  html += "<header><h1>talvenixd</h1><p>version " TALVENIX_VERSION ", up <span id=\"uptime\">" +
          Duration(now_ms - running.started_ms) + "</span></p><p>Gateway <b id=\"gateway\">" +
          Escape(gateway.empty() ? "none" : gateway) + "</b>, engine <b id=\"engine\">" +
          (engine ? "running" : "stopped") + "</b>, <span id=\"parallel\">" + std::to_string(dispatcher.Parallel()) +
          "</span> send(s) at once</p></header>\n<main>\n";

  html += "<section class=\"wide\"><h2>Messages per second, last hour</h2>" + Chart(running.last_hour) +
          "<p class=\"key\"><span class=\"accepted\"></span>accepted<span class=\"sent\"></span>sent</p></section>\n";

  html += "<section><h2>Queue</h2><dl>";
  html += "<dt>Waiting</dt><dd id=\"queue-depth\">" + std::to_string(Count(stats, "queued")) + "</dd>";
  for (const char* state : {"sending", "pending", "sent", "failed", "unknown", "expired"})
    html += std::string("<dt>") + state + "</dt><dd id=\"state-" + state + "\">" + std::to_string(Count(stats, state)) +
            "</dd>";
  html += "<dt>Accepted in all</dt><dd>" + std::to_string(stats.accepted) + "</dd></dl></section>\n";

  html += "<section><h2>Storage and clients</h2><dl><dt>Storage</dt><dd id=\"storage\" class=\"" +
          std::string(stats.storage_error.empty() ? "ok\">writing" : "bad\">failing") + "</dd>";
  html += "<dt>Connections open</dt><dd id=\"connections\">" + std::to_string(http.open) + "</dd>";
  html += "<dt>Refused over the caps</dt><dd>" + std::to_string(http.refused) + "</dd>";
  html += "<dt>Cut off by their deadline</dt><dd>" + std::to_string(http.timed_out) + "</dd></dl>";
  if (!stats.storage_error.empty()) html += "<p class=\"bad\">" + Escape(stats.storage_error) + "</p>";
  std::optional<Dispatcher::GatewayRules> rules = dispatcher.Rules();
  std::string fields;
  for (const std::string& f : HonouredFields(rules && rules->own_sender)) fields += (fields.empty() ? "" : ", ") + f;
  html += "<p>A message may have <span id=\"fields\">" + fields + "</span>" +
          (rules && rules->own_sender ? "; the gateway sends with its own sender, so from is refused" : "") +
          ".</p></section>\n";

  html += "<section><h2>Webhooks</h2><dl><dt>Backlog</dt><dd id=\"webhook-backlog\">" +
          std::to_string(stats.webhook_backlog) + "</dd></dl>";
  if (stats.webhook_failures.empty()) {
    html += "<p>No failed attempt.</p>";
  } else {
    html += "<ul class=\"log\" id=\"webhook-failures\">";
    for (const WebhookFailure& f : stats.webhook_failures)
      html += "<li>" + Escape(Receiver(f.url)) + ": " + std::to_string(f.attempts) + " attempt(s), " +
              (f.state == "due" ? "again at " : f.state + " at ") + IsoTime(f.at_ms) + ": " + Escape(f.error) + "</li>";
    html += "</ul>";
  }
  html += "</section>\n";

  html += "<section class=\"wide\"><h2>Tenants</h2>";
  std::map<std::string, uint64_t> refused;
  for (const auto& [key, count] : running.tenant_refusals) refused[key.first] += count;
  html +=
      TableStart("tenants", "Tenants", {"Tenant", "Accepted", "Sent", "Parts sent", "Failed", "Refused by its limits"});
  for (const auto& [tenant, totals] : stats.tenant_totals) {
    auto total = [&](const char* what) {
      auto it = totals.find(what);
      return std::to_string(it == totals.end() ? 0 : it->second);
    };
    html += "<tr><td>" + Escape(tenant) + "</td><td>" + total("accepted") + "</td><td>" + total("sent") + "</td><td>" +
            total("parts_sent") + "</td><td>" + total("failed") + "</td><td>" + std::to_string(refused[tenant]) +
            "</td></tr>";
  }
  html += "</tbody></table></div></section>\n";

  if (!stats.fleet.empty()) {
    // The daemons sharing the queue, and when each last said it runs.
    html += "<section class=\"wide\"><h2>Fleet</h2>" +
            TableStart("fleet", "Fleet", {"Daemon", "Group", "Gateway", "Version", "Started", "Last seen"});
    auto time = [](int64_t ms) { return "<time datetime=\"" + IsoTime(ms) + "\">" + IsoTime(ms) + "</time>"; };
    for (const FleetDaemon& d : stats.fleet)
      html += "<tr><td>" + Escape(d.name) + "</td><td>" + Escape(d.group.empty() ? "any" : d.group) + "</td><td>" +
              Escape(d.gateway) + "</td><td>" + Escape(d.version) + "</td><td>" + time(d.started_ms) + "</td><td>" +
              time(d.last_seen_ms) + "</td></tr>";
    html += "</tbody></table></div></section>\n";
  }

  html += "<section class=\"wide\"><h2>Lines</h2>";
  auto lines = dispatcher.Lines();
  if (lines.empty()) {
    html += "<p>No line has reported.</p>";
  } else {
    html += TableStart("lines", "Lines", {"Port", "Name", "State", "Last code", "Since"});
    for (const LineState& l : lines) {
      const char* state = LineStateName(l.status);
      html += "<tr><td>COM" + std::to_string(l.comport) + "</td><td>" + Escape(l.name) + "</td><td class=\"" +
              (l.status == TALVEX_LINE_READY    ? "ok"
               : l.status == TALVEX_LINE_FAILED ? "bad"
                                                : "warn") +
              "\" id=\"line-" + std::to_string(l.comport) + "\">" + state + "</td><td>" + std::to_string(l.code) + " " +
              Escape(host::StatusName(l.code)) + "</td><td><time datetime=\"" + IsoTime(l.at_ms) + "\">" +
              Duration(now_ms - l.at_ms) + " ago</time></td></tr>";
    }
    html += "</tbody></table></div>";
  }
  html += "</section>\n<section class=\"wide\"><h2>Last errors</h2>";
  if (stats.last_errors.empty()) html += "<p>None.</p>";
  html += "<ul class=\"log\">";
  for (const std::string& e : stats.last_errors) html += "<li>" + Escape(e) + "</li>";
  html += "</ul></section>\n</main>\n";
  html += kRefresh;
  html += "</body></html>\n";
  return html;
}

}  // namespace talvenix::daemon
