// SPDX-License-Identifier: Apache-2.0
#pragma once
// Splits what a modem writes into events: answer lines, final result codes,
// the "> " prompt of AT+CMGS, and unsolicited indications (with the PDU line
// that follows +CMT: and +CDS:), status codes and restart banners, wherever
// they arrive. Fed any bytes in any pieces; never fails.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace talvenix::at {

struct AtEvent {
  enum class Kind {
    kLine,         // an answer line of the running command (also echo)
    kOk,           // OK
    kError,        // ERROR, +CMS ERROR: n, +CME ERROR: n (code -1 for plain ERROR)
    kPrompt,       // "> " (or ">") of AT+CMGS
    kUnsolicited,  // a status code the modem sends by itself (^RSSI, +CREG: 1, RING, ...)
    kRestart,      // a banner of a modem that has just started (RDY, SMS Ready, +CFUN: 1)
    kNewMessage,   // +CMTI: "<mem>",<index>
    kNewReport,    // +CDSI: "<mem>",<index>
    kMessage,      // +CMT: ... with its PDU
    kReport,       // +CDS: ... with its PDU
  };
  Kind kind = Kind::kLine;
  std::string text;  // the line (kLine, kError), the memory name, or the PDU
  int code = -1;     // error code, or the index of kNewMessage/kNewReport
  bool cms = false;  // kError: a +CMS ERROR (else +CME or plain)
  int length = -1;   // kMessage/kReport: the length the modem announced
};

class AtReader {
 public:
  // Longest line kept; longer lines are cut (no PDU comes near it).
  static constexpr size_t kMaxLine = 1024;

  void Feed(std::string_view bytes);
  bool Next(AtEvent& out);  // false when no complete event is waiting
  void Clear();             // forgets partial lines and waiting events (after reopening)

 private:
  void EndLine();
  void Classify(const std::string& line);

  std::string partial_;
  std::deque<AtEvent> events_;
  // +CMT:/+CDS: seen; the next line that is no status code is its PDU.
  bool awaiting_pdu_ = false;
  bool after_prompt_ = false;  // the blank that may follow ">" is no part of the next line
  AtEvent pending_;
};

// "+CMS ERROR" meanings (3GPP 27.005), for log lines.
const char* CmsErrorText(int code);

// What a send error says about sending again: temporary errors (no network,
// network timeout, SIM busy, memory, unknown) may clear by themselves; the
// others concern the destination, the message or the modem's setup and do not.
enum class ErrorClass { kTemporary, kDestination, kMessage, kSetup };
ErrorClass ClassOfSendError(bool cms, int code);
const char* ErrorClassText(ErrorClass c);

}  // namespace talvenix::at
