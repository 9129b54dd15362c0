// SPDX-License-Identifier: Apache-2.0
#include "drivers/at/at_reader.hpp"

#include <cstdlib>
#include <iterator>

namespace talvenix::at {
namespace {

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Number after the last comma of an indication, -1 when missing or not a number.
int LastNumber(std::string_view s) {
  size_t comma = s.rfind(',');
  std::string_view tail = comma == std::string_view::npos ? s.substr(s.find(':') + 1) : s.substr(comma + 1);
  while (!tail.empty() && tail.front() == ' ') tail.remove_prefix(1);
  if (tail.empty() || tail.size() > 9) return -1;
  int value = 0;
  for (char c : tail) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string Memory(std::string_view s) {
  size_t open = s.find('"');
  if (open == std::string_view::npos) return {};
  size_t close = s.find('"', open + 1);
  return std::string(s.substr(open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1));
}

// Codes modems send by themselves. The answer of a command that asks for one
// of them (AT+CREG?, AT+CPIN?) starts the same way: the line tells them apart.
constexpr std::string_view kUnsolicited[] = {
    "^RSSI:",   "^BOOT:", "^MODE:", "^DSFLOWRPT:", "^SRVST:",    "^SIMST:", "^HCSQ:",    "^SYSINFOEX:", "^NDISSTAT:",
    "^STIN:",   "^SIND:", "^CEND:", "^ORIG:",      "^CONF:",     "^CONN:",  "+CREG:",    "+CGREG:",     "+CEREG:",
    "+C5GREG:", "+CPIN:", "+CIEV:", "+CRING:",     "+CLIP:",     "+CTZV:",  "+CTZE:",    "+QIND:",      "+PACSP",
    "+CUSD:",   "+CGEV:", "+STIN:", "RING",        "Call Ready", "PB DONE", "NO CARRIER"};
constexpr std::string_view kRestartBanners[] = {"RDY", "SMS Ready", "+CFUN: 1", "^SYSSTART"};

bool IsOneOf(std::string_view line, const std::string_view* list, size_t count, bool whole) {
  for (size_t i = 0; i < count; ++i)
    if (whole ? line == list[i] : StartsWith(line, list[i])) return true;
  return false;
}

}  // namespace

void AtReader::Feed(std::string_view bytes) {
  for (char c : bytes) {
    if (c == '\r' || c == '\n') {
      EndLine();
      continue;
    }
    if (c == '\0') continue;
    if (after_prompt_) {
      after_prompt_ = false;
      if (c == ' ') continue;
    }
    if (partial_.size() < kMaxLine) partial_.push_back(c);
    // The prompt has no line end: recognise it at once. No answer line starts with '>'.
    if (partial_ == ">" && !awaiting_pdu_) {
      events_.push_back({AtEvent::Kind::kPrompt, {}, -1, false, -1});
      partial_.clear();
      after_prompt_ = true;
    }
  }
}

bool AtReader::Next(AtEvent& out) {
  if (events_.empty()) return false;
  out = std::move(events_.front());
  events_.pop_front();
  return true;
}

void AtReader::Clear() {
  partial_.clear();
  events_.clear();
  awaiting_pdu_ = false;
  after_prompt_ = false;
}

void AtReader::EndLine() {
  std::string line;
  line.swap(partial_);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  if (line.empty()) return;
  bool unsolicited = IsOneOf(line, kUnsolicited, std::size(kUnsolicited), false);
  bool restart = IsOneOf(line, kRestartBanners, std::size(kRestartBanners), true);
  if (unsolicited || restart) {
    events_.push_back({restart ? AtEvent::Kind::kRestart : AtEvent::Kind::kUnsolicited, line, -1, false, -1});
    return;
  }
  if (awaiting_pdu_) {
    awaiting_pdu_ = false;
    pending_.text = line;
    events_.push_back(std::move(pending_));
    return;
  }
  Classify(line);
}

void AtReader::Classify(const std::string& line) {
  using K = AtEvent::Kind;
  if (line == "OK") {
    events_.push_back({K::kOk, line, -1, false, -1});
  } else if (line == "ERROR" || line == "COMMAND NOT SUPPORT") {
    events_.push_back({K::kError, line, -1, false, -1});
  } else if (StartsWith(line, "+CMS ERROR:") || StartsWith(line, "+CME ERROR:")) {
    events_.push_back({K::kError, line, LastNumber(line), line[2] == 'M' && line[3] == 'S', -1});
  } else if (StartsWith(line, "+CMTI:")) {
    events_.push_back({K::kNewMessage, Memory(line), LastNumber(line), false, -1});
  } else if (StartsWith(line, "+CDSI:")) {
    events_.push_back({K::kNewReport, Memory(line), LastNumber(line), false, -1});
  } else if (StartsWith(line, "+CMT:") || StartsWith(line, "+CDS:")) {
    awaiting_pdu_ = true;
    pending_ = {line[2] == 'M' ? K::kMessage : K::kReport, {}, -1, false, LastNumber(line)};
  } else {
    events_.push_back({K::kLine, line, -1, false, -1});
  }
}

const char* CmsErrorText(int code) {
  switch (code) {
    case 1:
      return "unassigned (unallocated) number";
    case 8:
      return "operator determined barring";
    case 10:
      return "call barred";
    case 21:
      return "short message transfer rejected";
    case 27:
      return "destination out of service";
    case 28:
      return "unidentified subscriber";
    case 29:
      return "facility rejected";
    case 30:
      return "unknown subscriber";
    case 38:
      return "network out of order";
    case 41:
      return "temporary failure";
    case 42:
      return "congestion";
    case 47:
      return "resources unavailable";
    case 50:
      return "requested facility not subscribed";
    case 69:
      return "requested facility not implemented";
    case 81:
      return "invalid short message transfer reference value";
    case 95:
      return "invalid message";
    case 96:
      return "invalid mandatory information";
    case 97:
      return "message type non-existent or not implemented";
    case 98:
      return "message not compatible with short message protocol state";
    case 99:
      return "information element non-existent or not implemented";
    case 111:
      return "protocol error, unspecified";
    case 127:
      return "interworking, unspecified";
    case 300:
      return "ME failure";
    case 301:
      return "SMS service of ME reserved";
    case 302:
      return "operation not allowed";
    case 303:
      return "operation not supported";
    case 304:
      return "invalid PDU mode parameter";
    case 305:
      return "invalid text mode parameter";
    case 310:
      return "SIM not inserted";
    case 311:
      return "SIM PIN required";
    case 312:
      return "PH-SIM PIN required";
    case 313:
      return "SIM failure";
    case 314:
      return "SIM busy";
    case 315:
      return "SIM wrong";
    case 316:
      return "SIM PUK required";
    case 317:
      return "SIM PIN2 required";
    case 318:
      return "SIM PUK2 required";
    case 320:
      return "memory failure";
    case 321:
      return "invalid memory index";
    case 322:
      return "memory full";
    case 330:
      return "SMSC address unknown";
    case 331:
      return "no network service";
    case 332:
      return "network timeout";
    case 340:
      return "no +CNMA acknowledgement expected";
    case 500:
      return "unknown error";
    default:
      if (code >= 512) return "manufacturer specific error";
      return "unknown error code";
  }
}

// Cause values of 3GPP 24.011 / 23.040 (0-255) and 27.005 (300-500).
ErrorClass ClassOfSendError(bool cms, int code) {
  if (!cms) return ErrorClass::kTemporary;  // +CME ERROR and plain ERROR say nothing about the message
  switch (code) {
    case 1:
    case 8:
    case 10:
    case 21:
    case 27:
    case 28:
    case 29:
    case 30:
    case 50:
      return ErrorClass::kDestination;
    case 69:
    case 81:
    case 95:
    case 96:
    case 97:
    case 98:
    case 99:
    case 111:
    case 303:
    case 304:
    case 305:
      return ErrorClass::kMessage;
    case 301:
    case 310:
    case 311:
    case 312:
    case 313:
    case 315:
    case 316:
    case 317:
    case 318:
    case 330:
      return ErrorClass::kSetup;
    default:
      return ErrorClass::kTemporary;  // 38, 41, 42, 47, 300, 302, 314, 320, 322, 331, 332, 500, ...
  }
}

const char* ErrorClassText(ErrorClass c) {
  switch (c) {
    case ErrorClass::kTemporary:
      return "temporary";
    case ErrorClass::kDestination:
      return "permanent: the destination";
    case ErrorClass::kMessage:
      return "permanent: the message";
    case ErrorClass::kSetup:
      return "permanent: the SIM or service centre";
  }
  return "";
}

}  // namespace talvenix::at
