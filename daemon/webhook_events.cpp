// SPDX-License-Identifier: Apache-2.0
#include "daemon/webhook_events.hpp"

#include "daemon/kannel_dlr.hpp"
#include "daemon/status_reports.hpp"

namespace talvenix::daemon {

std::string EventText(const nlohmann::json& body) {
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json OutcomeEvent(const std::string& state, std::optional<int> code, const std::string& code_name,
                            int64_t at_ms) {
  nlohmann::json body = {{"type", "message.outcome"}, {"state", state}, {"at", IsoTime(at_ms)}};
  if (code) {
    body["code"] = *code;
    body["code_name"] = code_name;
  }
  return body;
}

nlohmann::json IncomingEvent(const IncomingMessage& m, int64_t at_ms) {
  return {{"type", "message.received"}, {"from", m.from}, {"text", m.text}, {"line", m.line}, {"at", IsoTime(at_ms)}};
}

nlohmann::json ReportEvent(const StatusReport& r, int64_t at_ms) {
  return {{"type", "message.status_report"},
          {"reference", r.reference},
          {"status", r.status},
          {"delivery", DeliveryState(r.status)},
          {"from", r.from},
          {"number", r.number},
          {"line", r.line},
          {"at", IsoTime(at_ms)}};
}

TiedReport TieReport(const StatusReport& r, uint32_t part, uint32_t parts) {
  const std::string delivery = DeliveryState(r.status);
  return {{{"status", r.status}, {"delivery", delivery}, {"part", part}, {"parts", parts}},
          delivery == "delivered" ? kKannelDelivered
          : delivery == "failed"  ? kKannelUndelivered
                                  : kKannelQueued,
          delivery + " (status " + std::to_string(r.status) + ")"};
}

int OutcomeKannelKind(const std::string& state) { return state == "sent" ? kKannelSmscAccepted : kKannelSmscRejected; }

std::optional<EventDelivery> MessageEventDelivery(const EventTarget& m, int kannel_kind,
                                                  const std::string& kannel_answer, nlohmann::json body,
                                                  const std::string& default_url) {
  if (m.kannel_dlr_mask >= 0) {
    if (!(m.kannel_dlr_mask & kannel_kind) || m.callback_url.empty()) return std::nullopt;
    return EventDelivery{"GET", KannelDlrUrl(m.callback_url, kannel_kind, m.recipient, kannel_answer), ""};
  }
  body["message_id"] = m.id;
  body["client_ref"] = m.client_ref;
  return LooseEventDelivery(body, m.callback_url.empty() ? default_url : m.callback_url);
}

std::optional<EventDelivery> LooseEventDelivery(const nlohmann::json& body, const std::string& default_url) {
  if (default_url.empty()) return std::nullopt;
  return EventDelivery{"POST", default_url, EventText(body)};
}

}  // namespace talvenix::daemon
