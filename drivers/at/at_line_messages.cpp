// SPDX-License-Identifier: Apache-2.0
#include "drivers/at/at_line.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "drivers/at/at_line_util.hpp"
#include "support/peer_text.hpp"
#include "support/text_codec.hpp"

namespace talvenix::at {

using namespace line;

// ---- Receiving ----------------------------------------------------------------

// Lists the home storage. Every message is read, and deleted only once it
// reached the host; parts of a long message stay until the whole message did.
void AtLine::ListStored(bool deliver) {
  Answer a = Insist("AT+CMGL=4", timing_.command_ms * 4);
  if (a.result != Answer::kOk) {
    if (a.result == Answer::kError)
      Log(1, "GSMDrv - %s: the SIM could not be listed (error %d).", name_.c_str(), a.code);
    return;
  }
  struct Item {
    int index, length;
    std::string pdu;
  };
  std::vector<Item> items;
  for (size_t i = 0; i < a.lines.size(); ++i) {
    if (!StartsWith(a.lines[i], "+CMGL:")) continue;
    // "+CMGL: <index>,<stat>,[<alpha>],<length>": stat 2 and 3 are our own outgoing copies.
    size_t comma = a.lines[i].find(',');
    bool incoming = comma == std::string::npos || NumberAfter(a.lines[i], comma + 1) <= 1;
    Item item{NumberAfter(a.lines[i], 6), LastField(a.lines[i]), {}};
    if (i + 1 < a.lines.size() && IsHex(a.lines[i + 1])) item.pdu = a.lines[++i];
    if (item.index >= 0 && (incoming || !deliver)) items.push_back(std::move(item));
  }
  for (Item& item : items) {
    if (lost_ || Stopping()) return;
    Stored at{memory_, item.index};
    if (!deliver) {
      DeleteStored(at);
    } else if (Held(at)) {
      continue;  // a part already read, waiting for the rest of its message
    } else if (item.pdu.empty()) {
      Log(1, "GSMDrv - %s: message %d of %s listed without its PDU; left there.", name_.c_str(), item.index,
          memory_.c_str());
    } else {
      HandlePdu(item.pdu, item.length, "the SIM", at);
    }
  }
}

bool AtLine::Held(const Stored& at) const {
  for (const auto& [key, p] : partials_)
    for (const Stored& s : p.stored)
      if (s.index == at.index && s.memory == at.memory) return true;
  return false;
}

bool AtLine::SwitchMemory(const std::string& memory) {
  if (memory.empty() || memory == memory_) return true;
  if (Command("AT+CPMS=\"" + memory + "\"", timing_.command_ms).result != Answer::kOk) return false;
  memory_ = memory;
  return true;
}

void AtLine::DeleteStored(const Stored& at) {
  if (at.index < 0) return;
  std::string before = memory_;
  if (!SwitchMemory(at.memory) ||
      Command("AT+CMGD=" + std::to_string(at.index), timing_.command_ms).result != Answer::kOk)
    Log(1, "GSMDrv - %s: could not delete message %d from %s.", name_.c_str(), at.index, at.memory.c_str());
  SwitchMemory(before);
}

void AtLine::ReadStored(const std::string& memory, int index) {
  std::string before = memory_;
  if (!SwitchMemory(memory)) {
    Log(1, "GSMDrv - %s: storage %s cannot be selected; message %d is left there.", name_.c_str(),
        PeerText(memory).c_str(), index);
    return;
  }
  Answer a = Command("AT+CMGR=" + std::to_string(index), timing_.command_ms);
  std::string pdu;
  int length = -1;
  for (size_t i = 0; i < a.lines.size(); ++i) {
    if (!StartsWith(a.lines[i], "+CMGR:")) continue;
    length = LastField(a.lines[i]);
    for (size_t j = i + 1; j < a.lines.size() && pdu.empty(); ++j)
      if (IsHex(a.lines[j])) pdu = a.lines[j];
  }
  if (a.result == Answer::kOk && !pdu.empty())
    HandlePdu(pdu, length, memory_.c_str(), {memory_, index});
  else if (a.result != Answer::kGone && a.result != Answer::kStopped)
    Log(1, "GSMDrv - %s: message %d of %s could not be read (%s); it is left there and read at the next poll.",
        name_.c_str(), index, memory_.c_str(),
        a.result == Answer::kError ? ("error " + std::to_string(a.code)).c_str() : "no PDU in the answer");
  SwitchMemory(before);
}

void AtLine::HandleIndications() {
  while (!indications_.empty() && !lost_ && !Stopping()) {
    AtEvent e = std::move(indications_.front());
    indications_.pop_front();
    using K = AtEvent::Kind;
    if (e.kind == K::kNewMessage || e.kind == K::kNewReport) {
      if (e.code < 0)
        Log(1, "GSMDrv - %s: indication without a message index.", name_.c_str());
      else
        ReadStored(e.text, e.code);
    } else {
      HandlePdu(e.text, e.length, e.kind == K::kMessage ? "+CMT" : "+CDS", {});
      if (acknowledge_) (void)Command("AT+CNMA", timing_.command_ms);
    }
  }
}

// What cannot be read whole is logged whole and still delivered as far as it
// can be read; a PDU that is no message at all is delivered as its hex digits.
void AtLine::HandlePdu(const std::string& pdu, int length, const char* source, const Stored& at) {
  // The announced length counts the octets after the SMSC part; some modems
  // leave that part out.
  bool with_smsc = true;
  size_t octets = pdu.size() / 2;
  if (length >= 0 && octets == static_cast<size_t>(length)) {
    with_smsc = false;
  } else if (length >= 0) {
    std::vector<uint8_t> first;
    if (pdu.size() < 2 || !FromHex(std::string_view(pdu).substr(0, 2), first) ||
        1u + first[0] + static_cast<size_t>(length) != octets)
      Log(1, "GSMDrv - %s: PDU from %s does not match its length %d; read as it is: %s", name_.c_str(), source, length,
          PeerText(pdu, AtReader::kMaxLine).c_str());
  }
  DecodeResult r = DecodePdu(pdu, with_smsc);
  if (!r.message) {
    Log(0, "GSMDrv - %s: unreadable PDU from %s (%s), delivered as its hex digits: %s", name_.c_str(), source,
        r.error.c_str(), PeerText(pdu, AtReader::kMaxLine).c_str());
    if (DeliverText("", Utf8ToUtf16(pdu))) DeleteStored(at);
    return;
  }
  if (auto* d = std::get_if<Deliver>(&*r.message)) {
    if (!d->flaw.empty())
      Log(0, "GSMDrv - %s: message from %s of %s read only in part (%s), delivered as far as it was read: %s",
          name_.c_str(), PeerText(d->originator.text).c_str(), source, d->flaw.c_str(),
          PeerText(pdu, AtReader::kMaxLine).c_str());
    HandleDeliver(*d, at);
  } else if (auto* s = std::get_if<StatusReport>(&*r.message)) {
    HandleReport(*s, at);
  } else {
    Log(1, "GSMDrv - %s: an SMS-SUBMIT from %s is no incoming message; left there.", name_.c_str(), source);
  }
}

void AtLine::HandleDeliver(const Deliver& d, const Stored& at) {
  if (!record_.can_receive) {
    Log(1, "GSMDrv - %s: incoming messages are off; message from %s left unread.", name_.c_str(),
        d.originator.text.c_str());
    return;
  }
  std::u16string text = d.text;
  // The host's text ends at a NUL: a data byte 0 shows as the symbol for null.
  if (d.encoding == Encoding::kData8) std::replace(text.begin(), text.end(), u'\0', u'\u2400');
  if (d.concat.total <= 1) {
    if (DeliverText(d.originator.text, text)) DeleteStored(at);
    return;
  }
  std::string key = d.originator.text + "/" + std::to_string(d.concat.reference) + "/" + std::to_string(d.concat.total);
  Partial& p = partials_[key];
  if (p.parts.empty()) {
    p.originator = d.originator.text;
    p.total = d.concat.total;
    p.first = Clock::now();
  }
  p.parts[d.concat.sequence] = text;
  if (at.index >= 0) p.stored.push_back(at);
  if (p.parts.size() < p.total) return;
  std::u16string whole;
  for (auto& [n, part] : p.parts) whole += part;
  std::string originator = p.originator;
  std::vector<Stored> stored = std::move(p.stored);
  partials_.erase(key);
  if (DeliverText(originator, whole))
    for (const Stored& s : stored) DeleteStored(s);
}

// Incomplete messages after their time limit (all: when the line stops).
// Parts that wait on the SIM stay there when the line stops: the next start
// reads them again; parts held only here are delivered as they are.
void AtLine::FlushPartials(bool all) {
  for (auto it = partials_.begin(); it != partials_.end();) {
    Partial& p = it->second;
    bool expired = Clock::now() - p.first >= std::chrono::milliseconds(timing_.reassembly_ms);
    if (!expired && !(all && p.stored.size() < p.parts.size())) {
      ++it;
      continue;
    }
    // The reader sees where text is missing: a marker stands for each gap.
    std::u16string text;
    std::string missing;
    unsigned expected = 1;
    auto gap_until = [&](unsigned end) {
      if (expected >= end) return;
      text += u"[\u2026]";
      for (; expected < end; ++expected) missing += (missing.empty() ? "" : ", ") + std::to_string(expected);
    };
    for (auto& [n, part] : p.parts) {
      gap_until(n);
      text += part;
      expected = std::max(expected, n + 1u);
    }
    gap_until(p.total + 1u);
    Log(1,
        "GSMDrv - %s: incomplete message from %s (%zu of %u parts) delivered with \"[\xE2\x80\xA6]\" in place of "
        "missing part(s) %s.",
        name_.c_str(), p.originator.c_str(), p.parts.size(), p.total, missing.c_str());
    std::string originator = p.originator;
    std::vector<Stored> stored = std::move(p.stored);
    it = partials_.erase(it);
    if (DeliverText(originator, text) && !all)
      for (const Stored& s : stored) DeleteStored(s);
  }
}

bool AtLine::DeliverText(const std::string& originator, const std::u16string& text) {
  Log(2, "GSMDrv - %s: message from %s (%zu characters).", name_.c_str(), originator.c_str(), text.size());
  if (!record_.callback) return false;
  TalvexDriverIncomingSms sms{text.c_str(), originator.c_str(), record_.comport};
  record_.callback(0, static_cast<int32_t>(record_.comport), TALVEX_DRV_RECEIVED, record_.context, &sms,
                   TALVEX_DATA_SMS);
  return true;
}

void AtLine::HandleReport(const StatusReport& r, const Stored& at) {
  if (holding_reports_) {
    held_reports_.emplace_back(r, at);
    return;
  }
  auto it = sent_.find(r.reference);
  std::u16string text;
  if (it == sent_.end()) {
    Log(1, "GSMDrv - %s: status report for unknown message reference %u (%s), passed on unmatched.", name_.c_str(),
        r.reference, DeliveryStatusText(r.status));
  } else {
    text = it->second.text;
    Log(2, "GSMDrv - %s: status report for reference %u, part %zu of %zu to %s: %s.", name_.c_str(), r.reference,
        it->second.part, it->second.parts, it->second.recipient.c_str(), DeliveryStatusText(r.status));
    if (r.status < 0x20 || r.status >= 0x40) sent_.erase(it);  // final: the reference may be reused
  }
  if (record_.callback) {
    TalvexDriverStatusReport report{r.reference, r.status, r.recipient.text.c_str(), r.smsc.text.c_str(), text.c_str()};
    record_.callback(0, static_cast<int32_t>(record_.comport), TALVEX_DRV_RECEIVED, record_.context, &report,
                     TALVEX_DATA_STATUS_REPORT);
  }
  DeleteStored(at);
}

void AtLine::ReleaseReports() {
  holding_reports_ = false;
  std::vector<std::pair<StatusReport, Stored>> held;
  held.swap(held_reports_);
  for (const auto& [report, at] : held) HandleReport(report, at);
}

// ---- Sending and serving --------------------------------------------------------

int32_t AtLine::Send(const SendJob& job) {
  SubmitOptions options;
  options.report_request = report_request_;
  options.allow_ucs2 = job.allow_ucs2;
  options.concat_reference = job.concat_reference;
  SubmitBuild build = BuildSubmit(job.recipient, job.text, options);
  if (!build.error.empty()) {
    Log(0, "GSMDrv - %s: cannot send to \"%s\": %s.", name_.c_str(), job.recipient.c_str(), build.error.c_str());
    return TALVEX_INVALID_PARAMETER;
  }
  TalvexSendReceipt receipt{};
  receipt.magic = TALVEX_RECEIPT_MAGIC;
  receipt.comport = record_.comport;
  receipt.parts = static_cast<uint16_t>(std::min<size_t>(build.parts.size(), TALVEX_RECEIPT_MAX_PARTS));
  std::fill(std::begin(receipt.reference), std::end(receipt.reference), TALVEX_RECEIPT_NOT_SENT);
  int32_t code = TALVEX_OK;
  for (size_t i = 0; i < build.parts.size() && code == TALVEX_OK; ++i) {
    uint16_t unused = TALVEX_RECEIPT_NOT_SENT;
    code = SendPart(job, build.parts[i], i + 1, build.parts.size(),
                    i < TALVEX_RECEIPT_MAX_PARTS ? receipt.reference[i] : unused);
    if (code == kNotTried && i > 0) code = kFailed;  // earlier parts went out: sending again would repeat them
  }
  if (job.request) std::memcpy(job.request->driver_area, &receipt, sizeof receipt);
  if (code == TALVEX_OK)
    Log(2, "GSMDrv - %s: message to %s sent in %zu part(s).", name_.c_str(), job.recipient.c_str(), build.parts.size());
  return code;
}

// A part counts as sent only on "+CMGS: <mr>" after its PDU went out, in
// its answer or, late, while the line is brought back in step after it.
// Temporary errors are retried after a growing pause, all within the submit
// limit; the others, a time-out and a lost device are not.
int32_t AtLine::SendPart(const SendJob& job, const SubmitPart& part, size_t number, size_t parts, uint16_t& receipt) {
  uint32_t retries = std::min(record_.sms_retry, kMaxRetries);
  auto deadline = Clock::now() + std::chrono::milliseconds(timing_.submit_ms);
  uint32_t pause = timing_.backoff_ms;
  for (uint32_t attempt = 0;; ++attempt) {
    Exchange submit;
    submit.command = "AT+CMGS=" + std::to_string(part.tpdu_length);
    submit.pdu = part.hex;
    submit.expect = "+CMGS:";
    submit.needs_line = true;
    submitting_ = {job.recipient, job.text, number, parts};
    Answer a = Command(submit, std::max<uint32_t>(MsUntil(deadline), 1));
    int reference = -1;
    for (const std::string& l : a.lines)
      if (a.result == Answer::kOk && StartsWith(l, "+CMGS:")) reference = NumberAfter(l, 6);
    if (a.result != Answer::kOk && a.written && a.late_reference >= 0) {
      reference = a.late_reference;
      Log(1, "GSMDrv - %s: part %zu of %zu to %s was answered after the submit limit: sent.", name_.c_str(), number,
          parts, job.recipient.c_str());
    }
    HandleIndications();  // what arrived meanwhile, before the next part
    if (a.result == Answer::kOk || reference >= 0) {
      if (reference >= 0 && reference < 256) {
        sent_[static_cast<uint8_t>(reference)] = {job.recipient, job.text, number, parts};
        receipt = static_cast<uint16_t>(reference);
      } else {
        receipt = TALVEX_RECEIPT_UNKNOWN;  // never 0: a report with reference 0 must not find it
      }
      return TALVEX_OK;
    }
    if (a.result == Answer::kStopped || Stopping()) return stop_code_;
    if (a.result == Answer::kGone || a.result == Answer::kTimeout) {
      if (!a.written) return a.result == Answer::kGone ? kNotTried : kFailed;
      receipt = TALVEX_RECEIPT_UNKNOWN;
      Log(0,
          "GSMDrv - %s: part %zu of %zu to %s went to the modem but was not acknowledged within the submit limit: "
          "the outcome is unknown; reported as not sent.",
          name_.c_str(), number, parts, job.recipient.c_str());
      return kFailed;
    }
    ErrorClass kind = ClassOfSendError(a.cms, a.code);
    bool again = kind == ErrorClass::kTemporary && attempt < retries && MsUntil(deadline) > pause;
    Log(0, "GSMDrv - %s: %s ERROR %d (%s) for part %zu of %zu to %s: %s; %s.", name_.c_str(), a.cms ? "+CMS" : "+CME",
        a.code, a.cms ? CmsErrorText(a.code) : "modem error", number, parts, job.recipient.c_str(),
        ErrorClassText(kind), again ? "sending again" : "not sent");
    if (!again) return kFailed;
    auto until = Clock::now() + std::chrono::milliseconds(pause);
    while (!Stopping() && MsUntil(until) > 0) WaitFor(MsUntil(until));
    pause *= 2;
  }
}

// The registration check and the SIM listing, every keep-alive period: a
// modem that announces nothing (CNMI refused, reset behind our back) still
// hands over what it stored.
void AtLine::Poll() {
  int stat = Registration();
  if (lost_ || Stopping()) return;
  if (stat >= 0 && stat != 1 && stat != 5) {
    Log(1, "GSMDrv - %s: the modem lost its network (status %d).", name_.c_str(), stat);
    unregistered_ = true;
    return;
  }
  if (record_.can_receive) ListStored(true);
}

void AtLine::Serve() {
  using W = platform::SerialPort::WaitResult;
  next_poll_ = Clock::now() + std::chrono::milliseconds(timing_.keepalive_ms);
  while (!Stopping() && !lost_ && !restarted_ && !unregistered_) {
    HandleIndications();
    if (lost_ || Stopping()) return;
    FlushPartials(false);
    if (MsUntil(next_poll_) == 0) {
      Poll();
      next_poll_ = Clock::now() + std::chrono::milliseconds(timing_.keepalive_ms);
      continue;
    }
    if (std::optional<SendJob> job = NextJob()) {
      holding_reports_ = true;
      int32_t code = Send(*job);
      if (code == kNotTried) {  // the device went away first: it waits for a line
        std::lock_guard lock(mutex_);
        queue_.push_front(std::move(*job));
      } else if (job->callback) {
        job->callback(code, static_cast<int32_t>(record_.comport), TALVEX_DRV_SEND_OUTCOME, record_.context,
                      job->request, TALVEX_DATA_REQUEST);
      }
      ReleaseReports();
      continue;
    }
    auto next = next_poll_;
    for (auto& [key, p] : partials_) next = std::min(next, p.first + std::chrono::milliseconds(timing_.reassembly_ms));
    W waited = port_.Wait(waker_, MsUntil(next));
    if (waited == W::kGone) {
      Lost(kFailDeviceLost, "the device went away");
    } else if (waited == W::kReadable) {
      Answer none;
      (void)Pump(0, none, nullptr);
    }
  }
}

}  // namespace talvenix::at
