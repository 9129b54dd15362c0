// SPDX-License-Identifier: Apache-2.0
#pragma once
// What each event says and where it goes, whichever queue stores it: the
// JSON bodies of outcomes, status reports and incoming messages, and the
// choice between a Kannel client's dlr-url (GET, for the kinds its mask
// asks for) and a JSON POST to the message's receiver or the default one.

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "daemon/message_queue.hpp"

namespace talvenix::daemon {

// What a message adds to its events, as it was accepted.
struct EventTarget {
  std::string id, client_ref, callback_url, recipient;
  int64_t kannel_dlr_mask = -1;  // >= 0: callback_url is a Kannel dlr-url
};

struct EventDelivery {
  std::string method, url, body;
};

nlohmann::json OutcomeEvent(const std::string& state, std::optional<int> code, const std::string& code_name,
                            int64_t at_ms);
nlohmann::json IncomingEvent(const IncomingMessage& m, int64_t at_ms);
nlohmann::json ReportEvent(const StatusReport& r, int64_t at_ms);

// The fields of a report tied to part `part` of `parts` of its message,
// which the message's history keeps too, and what a Kannel client hears of it.
struct TiedReport {
  nlohmann::json fields;
  int kannel_kind;
  std::string kannel_answer;
};
TiedReport TieReport(const StatusReport& r, uint32_t part, uint32_t parts);

// Kannel's kind of an outcome: the gateway took the message, or did not.
int OutcomeKannelKind(const std::string& state);

// Where the event `body` of message `m` goes, none when nowhere: a Kannel
// client's dlr-url only for the kinds its mask asks for; otherwise the
// message's own receiver or `default_url`, with its id and client_ref.
std::optional<EventDelivery> MessageEventDelivery(const EventTarget& m, int kannel_kind,
                                                  const std::string& kannel_answer, nlohmann::json body,
                                                  const std::string& default_url);
// An event that belongs to no message (an incoming one, a report tied to none).
std::optional<EventDelivery> LooseEventDelivery(const nlohmann::json& body, const std::string& default_url);

// JSON text; bytes that are not UTF-8 (a gateway's 8-bit text) become U+FFFD.
std::string EventText(const nlohmann::json& body);

}  // namespace talvenix::daemon
