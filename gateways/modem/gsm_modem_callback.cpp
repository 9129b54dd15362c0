// SPDX-License-Identifier: Apache-2.0
// What the driver reports, on the driver's threads: line states, send
// outcomes, incoming messages and status reports. Each call runs holding the
// gateway's lock, host callback included.

#include <string>
#include <string_view>

#include "contract/options_record.hpp"
#include "contract/received_message.hpp"
#include "talvenix/gsm_driver.h"
#include "gateways/modem/gsm_modem_gateway.hpp"
#include "gateways/modem/line_record.hpp"
#include "support/text_codec.hpp"

namespace talvenix {
namespace {

std::string_view Narrow(const char* text) { return text ? std::string_view(text) : std::string_view(); }

// Every incoming message's text is measured here, four characters a round.
std::u16string_view Wide(const char16_t* text) {
  if (!text) return {};
  size_t n = 0;
  for (;; n += 4) {
    if (!text[n]) break;
    if (!text[n + 1]) return {text, n + 1};
    if (!text[n + 2]) return {text, n + 2};
    if (!text[n + 3]) return {text, n + 3};
  }
  return {text, n};
}

}  // namespace

void TALVEX_CALL Vantrel_GSMCOMDrvInterface::GSMCallback(int32_t code, int32_t line, uint32_t kind, void* context,
                                                          void* data, uint32_t data_kind) {
  // Without a gateway there is nobody to report to, nor a log to report in.
  if (!context) return;
  static_cast<Vantrel_GSMCOMDrvInterface*>(context)->OnCallback(code, line, kind, data, data_kind);
}

void Vantrel_GSMCOMDrvInterface::OnCallback(int32_t code, int32_t line, uint32_t kind, void* data,
                                            uint32_t data_kind) {
  std::lock_guard lock(mutex_);
  switch (kind) {
    case TALVEX_DRV_LINE_STATE:
      OnLineState(code, line);
      break;
    case TALVEX_DRV_SEND_OUTCOME:
      if (data_kind != TALVEX_DATA_REQUEST) break;
      if (callback_ && data) {
        auto* request = static_cast<TalvexSmsRequest*>(data);
        callback_(code, line, TALVEX_EVENT_OUTCOME, request->outcome_context, request, TALVEX_DATA_REQUEST);
      } else {
        logger_->Error("Vantrel_GSMCOMDrvInterface::GSMCallback - Invalid CALLBACK.");
      }
      break;
    case TALVEX_DRV_RECEIVED:
      OnReceived(code, line, data, data_kind);
      break;
    default:
      break;  // kinds this gateway does not know carry nothing for the host
  }
}

void Vantrel_GSMCOMDrvInterface::OnLineState(int32_t code, int32_t line) {
  if (!callback_) return;
  TalvexLineRecord* found = nullptr;
  for (auto& record : lines_) {
    if (record && record->comport == static_cast<uint32_t>(line)) {
      found = record.get();
      break;
    }
  }
  if (found) {
    found->status = code == 0 ? TALVEX_LINE_READY : TALVEX_LINE_FAILED;
    found->last_code = static_cast<uint32_t>(code);
  }
  RefreshLineStatus();
  callback_(code, line, TALVEX_EVENT_LINE_STATE, context_, found, 0);
}

void Vantrel_GSMCOMDrvInterface::OnReceived(int32_t code, int32_t line, void* data, uint32_t data_kind) {
  if (data_kind != TALVEX_DATA_SMS && data_kind != TALVEX_DATA_STATUS_REPORT) {
    logger_->Error("Vantrel_GSMCOMDrvInterface::GSMCallback - Invalid SMS Type.");
    return;
  }
  if (!data) return;
  if (!callback_) {
    logger_->Error("Vantrel_GSMCOMDrvInterface::GSMCallback - Invalid CALLBACK.");
    return;
  }
  if (received_in_use_) [[unlikely]] {
    // The host called back into the driver from inside its own callback:
    // the outer record is still the host's, so this one gets its own.
    ReceivedMessage nested;
    Deliver(nested, code, line, data, data_kind);
    return;
  }
  received_in_use_ = true;
  Deliver(received_, code, line, data, data_kind);
  received_in_use_ = false;
}

void Vantrel_GSMCOMDrvInterface::Deliver(ReceivedMessage& message, int32_t code, int32_t line, void* data,
                                         uint32_t data_kind) {
  TalvexReceivedMessage* record = message.get();
  record->service_flag = TALVEX_SERVICE_GSM;
  if (data_kind == TALVEX_DATA_SMS) [[likely]] {
    auto* sms = static_cast<const TalvexDriverIncomingSms*>(data);
    record->report_reference = 0;
    record->report_status = 0;
    record->line = sms->line;
    message.SetText(Wide(sms->text));
    message.SetOriginator(Narrow(sms->originator));
    if (record->report_text.text[0]) message.SetReportText({});  // left from a status report
  } else {
    auto* report = static_cast<const TalvexDriverStatusReport*>(data);
    record->report_reference = report->reference;
    record->report_status = report->status;
    record->line = 0;
    message.SetOriginator(Narrow(report->recipient));
    message.SetReportText(Narrow(report->second_number));
    message.SetText(Wide(report->text));
  }
  callback_(code, line, TALVEX_EVENT_RECEIVED, context_, record, data_kind);
}

void Vantrel_GSMCOMDrvInterface::RefreshLineStatus() {
  if (!options_) return;
  uint32_t counters[3] = {0, 0, 0};
  std::vector<LineSummaryEntry> entries;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const TalvexLineRecord* line = lines_[i].get();
    if (!line) continue;
    entries.push_back({Utf16ToUtf8(gsm::ReadText(line->line_name)), line->international_numbers ? "1" : "0", "0",
                       std::to_string(i)});
    if (line->status < 3) ++counters[line->status];
  }
  OptionsRecord::SetLineSummary(options_, counters[0], counters[1], counters[2], "", entries);
}

}  // namespace talvenix
