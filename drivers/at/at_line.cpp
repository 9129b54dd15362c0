#include "drivers/at/at_line.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "support/text_codec.hpp"

namespace talvenix::at {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kMaxRetries = 10;
constexpr int32_t kFailed = 1;

uint32_t MsUntil(Clock::time_point t) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
  return left <= 0 ? 0u : static_cast<uint32_t>(left);
}

int NumberAfter(const std::string& line, size_t from) {
  size_t i = line.find_first_of("0123456789", from);
  if (i == std::string::npos) return -1;
  return std::atoi(line.c_str() + i);
}

// The last comma-separated field as a number (the length of +CMGR:/+CMGL:).
int LastField(const std::string& line) {
  size_t comma = line.rfind(',');
  return comma == std::string::npos ? -1 : NumberAfter(line, comma + 1);
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

AtLine::AtLine(const TalvexDriverLineRecord& record, const Timing& timing)
    : record_(record), timing_(timing), name_("COM" + std::to_string(record.comport)) {}

AtLine::~AtLine() {
  if (thread_.joinable()) thread_.detach();  // only when the last owner was the thread itself
}

void AtLine::Start() {
  thread_ = std::thread([self = shared_from_this()] { self->Run(); });
}

void AtLine::RequestStop(int32_t pending_code) {
  {
    std::lock_guard lock(mutex_);
    accepting_ = false;
  }
  stop_code_ = pending_code;
  stopping_ = true;
  waker_.Wake();
}

void AtLine::Join() {
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id())
    thread_.detach();  // asked from one of our own callbacks: the thread ends by itself
  else
    thread_.join();
}

void AtLine::Stop(int32_t pending_code) {
  RequestStop(pending_code);
  Join();
}

bool AtLine::Enqueue(SendJob job) {
  {
    std::lock_guard lock(mutex_);
    if (!accepting_ || phase_ == Phase::kFailed) return false;
    queue_.push_back(std::move(job));
  }
  waker_.Wake();
  return true;
}

void AtLine::Run() {
  uint32_t backoff = timing_.backoff_ms;
  while (!Stopping()) {
    lost_ = false;
    if (OpenDevice() && Initialise()) {
      backoff = timing_.backoff_ms;
      phase_ = Phase::kReady;
      Log(2, "GSMDrv - %s ready.", name_.c_str());
      ReportState(0);
      Serve();
      if (Stopping()) break;
    }
    port_.Close();
    {
      std::lock_guard lock(mutex_);
      phase_ = Phase::kFailed;
    }
    ReportState(failure_);
    FailQueued(kFailed);
    // Reopen later; a stop ends the wait at once.
    auto until = Clock::now() + std::chrono::milliseconds(backoff);
    while (!Stopping() && MsUntil(until) > 0) waker_.Wait(MsUntil(until));
    backoff = std::min<uint32_t>(timing_.backoff_max_ms, backoff * 2);
    Log(2, "GSMDrv - %s: reopening the device.", name_.c_str());
  }
  port_.Close();
  FailQueued(stop_code_);
  FlushPartials(true);
}

bool AtLine::Fail(int32_t failure, const char* why) {
  if (!lost_) failure_ = failure;
  Log(0, "GSMDrv - %s: %s (line code %d).", name_.c_str(), why, failure_);
  return false;
}

bool AtLine::OpenDevice() {
  std::string path = DevicePathOf(record_.comport);
  if (port_.Open(path, record_.baudrate)) {
    Log(2, "GSMDrv - %s: opened %s at %u baud.", name_.c_str(), path.c_str(), record_.baudrate);
    return true;
  }
  using E = platform::SerialPort::Error;
  if (last_state_ != kFailDeviceMissing && last_state_ != kFailDeviceBusy)
    Log(0, "GSMDrv - %s: cannot open the device: %s%s", name_.c_str(), port_.error_text().c_str(),
        port_.error() == E::kNotATty ? " (not a serial device)" : "");
  failure_ = port_.error() == E::kBusy ? kFailDeviceBusy : kFailDeviceMissing;
  return false;
}

void AtLine::Lost(int32_t failure, const char* why) {
  if (!lost_) {
    lost_ = true;
    failure_ = failure;
    Log(0, "GSMDrv - %s: %s; closing the device.", name_.c_str(), why);
  }
  port_.Close();
}

void AtLine::ReportState(int32_t code) {
  if (code == last_state_) return;
  last_state_ = code;
  if (record_.callback)
    record_.callback(code, static_cast<int32_t>(record_.comport), TALVEX_DRV_LINE_STATE, record_.context, nullptr, 0);
}

void AtLine::FailQueued(int32_t code) {
  std::deque<SendJob> failing;
  {
    std::lock_guard lock(mutex_);
    failing.swap(queue_);
  }
  for (SendJob& job : failing) {
    Log(1, "GSMDrv - %s: message to %s not sent (code %d).", name_.c_str(), job.recipient.c_str(), code);
    if (job.callback)
      job.callback(code, static_cast<int32_t>(record_.comport), TALVEX_DRV_SEND_OUTCOME, record_.context, job.request,
                   TALVEX_DATA_REQUEST);
  }
}

// ---- Commands ---------------------------------------------------------------

AtLine::Answer AtLine::Command(const std::string& command, uint32_t timeout_ms, const std::string& pdu) {
  Answer answer;
  if (!port_.is_open() || lost_) {
    answer.result = Answer::kGone;
    return answer;
  }
  if (!port_.Write(command + "\r", timing_.command_ms)) {
    Lost(kFailDeviceLost, "the device refused a write");
    answer.result = Answer::kGone;
    return answer;
  }
  bool prompted = false;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!Pump(MsUntil(deadline), answer, command, pdu, prompted)) {
    if (answer.result == Answer::kGone || answer.result == Answer::kStopped) return answer;
    if (MsUntil(deadline) == 0) {
      if (!pdu.empty()) (void)port_.Write("\x1B", timing_.command_ms);  // leave the text prompt
      Log(1, "GSMDrv - %s: no answer to %s.", name_.c_str(), command.c_str());
      if (++silent_commands_ >= timing_.failures) Lost(kFailNoAnswer, "the modem stopped answering");
      answer.result = lost_ ? Answer::kGone : Answer::kTimeout;
      return answer;
    }
  }
  silent_commands_ = 0;
  last_activity_ = Clock::now();
  return answer;
}

// Waits for bytes once and reads what came. True when the final result of
// the running command arrived; indications are set aside for later.
bool AtLine::Pump(uint32_t timeout_ms, Answer& answer, const std::string& command, const std::string& pdu,
                  bool& prompted) {
  using W = platform::SerialPort::WaitResult;
  if (Stopping()) {
    answer.result = Answer::kStopped;
    return false;
  }
  W waited = port_.Wait(waker_, timeout_ms);
  if (waited == W::kGone) {
    Lost(kFailDeviceLost, "the device went away");
    answer.result = Answer::kGone;
    return false;
  }
  if (waited != W::kReadable) {
    answer.result = Stopping() ? Answer::kStopped : Answer::kTimeout;
    return false;
  }
  char buffer[512];
  long n = port_.Read(buffer, sizeof buffer);
  if (n < 0) {
    Lost(kFailDeviceLost, "the device went away");
    answer.result = Answer::kGone;
    return false;
  }
  reader_.Feed(std::string_view(buffer, static_cast<size_t>(n)));
  bool done = false;
  AtEvent e;
  while (reader_.Next(e)) {
    using K = AtEvent::Kind;
    switch (e.kind) {
      case K::kNewMessage:
      case K::kNewReport:
      case K::kMessage:
      case K::kReport:
        indications_.push_back(std::move(e));
        break;
      case K::kOk:
      case K::kError:
        if (done || command.empty()) break;  // a late answer of an abandoned command
        done = true;
        answer.result = e.kind == K::kOk ? Answer::kOk : Answer::kError;
        answer.code = e.code;
        answer.cms = e.cms;
        break;
      case K::kPrompt:
        if (done || command.empty()) break;
        if (!pdu.empty() && !prompted) {
          prompted = true;
          if (!port_.Write(pdu + "\x1A", timing_.command_ms)) {
            Lost(kFailDeviceLost, "the device refused a write");
            answer.result = Answer::kGone;
            return false;
          }
        }
        break;
      case K::kLine:
        if (done || command.empty() || e.text == command || (!pdu.empty() && e.text.find(pdu) != std::string::npos))
          break;  // echo, or a stray line between commands
        answer.lines.push_back(std::move(e.text));
        break;
    }
  }
  return done;
}

// ---- Initialisation -----------------------------------------------------------

std::string AtLine::CnmiParameters() const {
  int wanted[5] = {2, record_.can_receive ? 1 : 0, 0, 1, 0};
  std::string text = record_.has_cnmi ? std::string(record_.cnmi, strnlen(record_.cnmi, sizeof record_.cnmi)) : "";
  // Five groups "(v)", "(a-b)" or "(a,b,c)": keep our value when a group
  // allows it, else take the group's first value.
  size_t pos = 0;
  for (int group = 0; group < 5; ++group) {
    size_t open = text.find('(', pos), close = text.find(')', open == std::string::npos ? pos : open);
    if (open == std::string::npos || close == std::string::npos) break;
    std::string inside = text.substr(open + 1, close - open - 1);
    pos = close + 1;
    std::set<int> allowed;
    int first = -1;
    size_t start = 0;
    while (start <= inside.size()) {
      size_t comma = inside.find(',', start);
      std::string item = inside.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      size_t dash = item.find('-');
      int lo = NumberAfter(item, 0), hi = dash == std::string::npos ? lo : NumberAfter(item, dash + 1);
      for (int v = lo; v >= 0 && v <= hi && v < 10; ++v) allowed.insert(v);
      if (first < 0) first = lo;
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    if (!allowed.empty() && !allowed.count(wanted[group])) wanted[group] = first;
  }
  return std::to_string(wanted[0]) + "," + std::to_string(wanted[1]) + "," + std::to_string(wanted[2]) + "," +
         std::to_string(wanted[3]) + "," + std::to_string(wanted[4]);
}

bool AtLine::Initialise() {
  reader_.Clear();
  indications_.clear();
  silent_commands_ = 0;
  failure_ = kFailNoAnswer;
  (void)port_.Write("\x1B", timing_.command_ms);  // ends a text prompt left open by an earlier owner
  Answer a;
  for (uint32_t i = 0; i < timing_.failures && !Stopping(); ++i) {
    a = Command("AT", timing_.command_ms);
    if (a.result == Answer::kOk || a.result == Answer::kGone) break;
  }
  if (Stopping()) return false;
  if (a.result != Answer::kOk) return Fail(kFailNoAnswer, "the modem does not answer");
  if (Command("ATZ", timing_.command_ms).result != Answer::kOk) Log(1, "GSMDrv - %s: ATZ refused.", name_.c_str());
  if (record_.has_initstr && record_.initstr[0]) {
    std::string init(record_.initstr, strnlen(record_.initstr, sizeof record_.initstr));
    if (init.size() < 2 || !((init[0] == 'A' || init[0] == 'a') && (init[1] == 'T' || init[1] == 't')))
      init = "AT" + init;
    if (Command(init, timing_.command_ms).result != Answer::kOk)
      return Fail(kFailInitRefused, ("the modem refused the initialisation string " + init).c_str());
  }
  if (Command("ATE0", timing_.command_ms).result != Answer::kOk) return Fail(kFailInitRefused, "ATE0 refused");
  (void)Command("AT+CMEE=1", timing_.command_ms);
  a = Command("AT+CPIN?", timing_.command_ms);
  std::string pin;
  for (const std::string& l : a.lines)
    if (StartsWith(l, "+CPIN:")) pin = l.substr(6);
  pin.erase(0, pin.find_first_not_of(' '));
  if (a.result != Answer::kOk || pin != "READY") {
    std::string why = a.result == Answer::kError
                          ? "the SIM is missing or failing (error " + std::to_string(a.code) + ")"
                          : "the SIM needs " + (pin.empty() ? std::string("unlocking") : pin) +
                                "; enter it on the modem or remove the PIN";
    return Fail(lost_ ? failure_ : kFailSimLocked, why.c_str());
  }
  if (Command("AT+CMGF=0", timing_.command_ms).result != Answer::kOk)
    return Fail(kFailInitRefused, "the modem refused PDU mode (AT+CMGF=0)");
  if (record_.has_smsc && record_.smsc[0]) {
    std::string smsc(record_.smsc, strnlen(record_.smsc, sizeof record_.smsc));
    if (Command("AT+CSCA=\"" + smsc + "\"," + (smsc[0] == '+' ? "145" : "129"), timing_.command_ms).result !=
        Answer::kOk)
      Log(1, "GSMDrv - %s: the modem refused the service centre %s.", name_.c_str(), smsc.c_str());
  }
  a = Command("AT+CSMS?", timing_.command_ms);
  acknowledge_ = false;
  for (const std::string& l : a.lines)
    if (StartsWith(l, "+CSMS:")) acknowledge_ = NumberAfter(l, 6) == 1;
  std::string cnmi = CnmiParameters();
  if (Command("AT+CNMI=" + cnmi, timing_.command_ms).result != Answer::kOk) {
    Log(1, "GSMDrv - %s: AT+CNMI=%s refused; trying 2,1,0,0,0.", name_.c_str(), cnmi.c_str());
    cnmi = std::string("2,") + (record_.can_receive ? "1" : "0") + ",0,0,0";
    (void)Command("AT+CNMI=" + cnmi, timing_.command_ms);
  }
  report_request_ = cnmi.size() >= 7 && cnmi[6] != '0';
  if (Command("AT+CPMS=\"SM\",\"SM\",\"SM\"", timing_.command_ms).result != Answer::kOk)
    Log(1, "GSMDrv - %s: the modem keeps its own message storage.", name_.c_str());
  memory_ = "SM";
  if (record_.clean_sim) {
    Log(2, "GSMDrv - %s: cleaning the SIM.", name_.c_str());
    if (Command("AT+CMGD=1,4", timing_.command_ms * 4).result != Answer::kOk) ListStored(false);
  }
  if (record_.can_receive) ListStored(true);
  if (lost_ || Stopping()) return Fail(failure_, "the modem went away during initialisation");
  return true;
}

// ---- Receiving ----------------------------------------------------------------

void AtLine::ListStored(bool deliver) {
  Answer a = Command("AT+CMGL=4", timing_.command_ms * 4);
  if (a.result != Answer::kOk) return;
  std::vector<std::pair<int, std::pair<std::string, int>>> stored;
  for (size_t i = 0; i < a.lines.size(); ++i) {
    if (!StartsWith(a.lines[i], "+CMGL:")) continue;
    int index = NumberAfter(a.lines[i], 6), length = LastField(a.lines[i]);
    std::string pdu = i + 1 < a.lines.size() && !StartsWith(a.lines[i + 1], "+CMGL:") ? a.lines[++i] : "";
    if (index >= 0) stored.push_back({index, {pdu, length}});
  }
  for (auto& [index, item] : stored) {
    if (lost_ || Stopping()) return;
    if (deliver) HandlePdu(item.first, item.second, "the SIM");
    DeleteStored(index);
  }
}

void AtLine::DeleteStored(int index) {
  if (Command("AT+CMGD=" + std::to_string(index), timing_.command_ms).result != Answer::kOk)
    Log(1, "GSMDrv - %s: could not delete message %d from the SIM.", name_.c_str(), index);
}

void AtLine::ReadStored(const std::string& memory, int index) {
  bool switched = !memory.empty() && memory != memory_;
  if (switched && Command("AT+CPMS=\"" + memory + "\"", timing_.command_ms).result != Answer::kOk) switched = false;
  Answer a = Command("AT+CMGR=" + std::to_string(index), timing_.command_ms);
  std::string pdu;
  int length = -1;
  for (size_t i = 0; i + 1 < a.lines.size(); ++i)
    if (StartsWith(a.lines[i], "+CMGR:")) {
      length = LastField(a.lines[i]);
      pdu = a.lines[i + 1];
    }
  if (a.result == Answer::kOk && !pdu.empty())
    HandlePdu(pdu, length, memory.c_str());
  else if (a.result != Answer::kGone && a.result != Answer::kStopped)
    Log(1, "GSMDrv - %s: message %d of %s could not be read.", name_.c_str(), index, memory.c_str());
  if (a.result == Answer::kOk || a.result == Answer::kError) DeleteStored(index);
  if (switched) (void)Command("AT+CPMS=\"" + memory_ + "\"", timing_.command_ms);
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
      HandlePdu(e.text, e.length, e.kind == K::kMessage ? "+CMT" : "+CDS");
      if (acknowledge_) (void)Command("AT+CNMA", timing_.command_ms);
    }
  }
}

void AtLine::HandlePdu(const std::string& pdu, int length, const char* source) {
  // The announced length counts the octets after the SMSC part; some modems
  // leave that part out.
  bool with_smsc = true;
  size_t octets = pdu.size() / 2;
  if (length >= 0 && octets == static_cast<size_t>(length)) {
    with_smsc = false;
  } else if (length >= 0) {
    std::vector<uint8_t> first;
    if (pdu.size() < 2 || !FromHex(std::string_view(pdu).substr(0, 2), first) ||
        1u + first[0] + static_cast<size_t>(length) != octets) {
      Log(0, "GSMDrv - %s: PDU from %s does not match its length %d, dropped: %s", name_.c_str(), source, length,
          pdu.c_str());
      return;
    }
  }
  DecodeResult r = DecodePdu(pdu, with_smsc);
  if (!r.message) {
    Log(0, "GSMDrv - %s: unreadable PDU from %s (%s), dropped: %s", name_.c_str(), source, r.error.c_str(),
        pdu.c_str());
    return;
  }
  if (auto* d = std::get_if<Deliver>(&*r.message)) HandleDeliver(*d);
  if (auto* s = std::get_if<StatusReport>(&*r.message)) HandleReport(*s);
}

void AtLine::HandleDeliver(const Deliver& d) {
  if (!record_.can_receive) {
    Log(1, "GSMDrv - %s: incoming messages are off; message from %s dropped.", name_.c_str(),
        d.originator.text.c_str());
    return;
  }
  if (d.concat.total <= 1) {
    DeliverText(d.originator.text, d.text);
    return;
  }
  std::string key = d.originator.text + "/" + std::to_string(d.concat.reference) + "/" + std::to_string(d.concat.total);
  Partial& p = partials_[key];
  if (p.parts.empty()) {
    p.originator = d.originator.text;
    p.total = d.concat.total;
    p.first = Clock::now();
  }
  p.parts[d.concat.sequence] = d.text;
  if (p.parts.size() < p.total) return;
  std::u16string whole;
  for (auto& [n, text] : p.parts) whole += text;
  std::string originator = p.originator;
  partials_.erase(key);
  DeliverText(originator, whole);
}

void AtLine::FlushPartials(bool all) {
  for (auto it = partials_.begin(); it != partials_.end();) {
    Partial& p = it->second;
    if (!all && Clock::now() - p.first < std::chrono::milliseconds(timing_.reassembly_ms)) {
      ++it;
      continue;
    }
    std::u16string text;
    for (auto& [n, part] : p.parts) text += part;
    Log(1, "GSMDrv - %s: incomplete message from %s (%zu of %u parts) delivered as it is.", name_.c_str(),
        p.originator.c_str(), p.parts.size(), p.total);
    std::string originator = p.originator;
    it = partials_.erase(it);
    DeliverText(originator, text);
  }
}

void AtLine::DeliverText(const std::string& originator, const std::u16string& text) {
  Log(2, "GSMDrv - %s: message from %s (%zu characters).", name_.c_str(), originator.c_str(), text.size());
  if (!record_.callback) return;
  TalvexDriverIncomingSms sms{text.c_str(), originator.c_str(), record_.comport};
  record_.callback(0, static_cast<int32_t>(record_.comport), TALVEX_DRV_RECEIVED, record_.context, &sms,
                   TALVEX_DATA_SMS);
}

void AtLine::HandleReport(const StatusReport& r) {
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
  if (!record_.callback) return;
  TalvexDriverStatusReport report{r.reference, r.status, r.recipient.text.c_str(), r.smsc.text.c_str(), text.c_str()};
  record_.callback(0, static_cast<int32_t>(record_.comport), TALVEX_DRV_RECEIVED, record_.context, &report,
                   TALVEX_DATA_STATUS_REPORT);
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
  uint32_t retries = std::min(record_.sms_retry, kMaxRetries);
  for (size_t i = 0; i < build.parts.size(); ++i) {
    const SubmitPart& part = build.parts[i];
    for (uint32_t attempt = 0;; ++attempt) {
      Answer a = Command("AT+CMGS=" + std::to_string(part.tpdu_length), timing_.submit_ms, part.hex);
      HandleIndications();  // what arrived meanwhile, before the next part
      if (a.result == Answer::kOk) {
        int reference = -1;
        for (const std::string& l : a.lines)
          if (StartsWith(l, "+CMGS:")) reference = NumberAfter(l, 6);
        if (reference >= 0 && reference < 256)
          sent_[static_cast<uint8_t>(reference)] = {job.recipient, job.text, i + 1, build.parts.size()};
        break;
      }
      if (a.result == Answer::kStopped || Stopping()) return stop_code_;
      if (a.result == Answer::kGone || lost_) return kFailed;
      if (a.result == Answer::kError)
        Log(0, "GSMDrv - %s: %s ERROR %d (%s) for part %zu of %zu to %s.", name_.c_str(), a.cms ? "+CMS" : "+CME",
            a.code, a.cms ? CmsErrorText(a.code) : "modem error", i + 1, build.parts.size(), job.recipient.c_str());
      if (attempt >= retries) {
        Log(0, "GSMDrv - %s: giving up on the message to %s after %u attempts.", name_.c_str(), job.recipient.c_str(),
            attempt + 1);
        return kFailed;
      }
    }
  }
  Log(2, "GSMDrv - %s: message to %s sent in %zu part(s).", name_.c_str(), job.recipient.c_str(), build.parts.size());
  return TALVEX_OK;
}

void AtLine::Serve() {
  using W = platform::SerialPort::WaitResult;
  last_activity_ = Clock::now();
  while (!Stopping() && !lost_) {
    HandleIndications();
    if (lost_ || Stopping()) return;
    FlushPartials(false);
    std::optional<SendJob> job;
    {
      std::lock_guard lock(mutex_);
      if (!queue_.empty()) {
        job = std::move(queue_.front());
        queue_.pop_front();
      }
    }
    if (job) {
      int32_t code = Send(*job);
      if (job->callback)
        job->callback(code, static_cast<int32_t>(record_.comport), TALVEX_DRV_SEND_OUTCOME, record_.context,
                      job->request, TALVEX_DATA_REQUEST);
      continue;
    }
    auto next = last_activity_ + std::chrono::milliseconds(timing_.keepalive_ms);
    for (auto& [key, p] : partials_) next = std::min(next, p.first + std::chrono::milliseconds(timing_.reassembly_ms));
    W waited = port_.Wait(waker_, MsUntil(next));
    if (waited == W::kGone) {
      Lost(kFailDeviceLost, "the device went away");
    } else if (waited == W::kReadable) {
      Answer none;
      bool prompted = false;
      (void)Pump(0, none, {}, {}, prompted);
      if (none.result == Answer::kGone) return;
    } else if (waited == W::kTimeout &&
               MsUntil(last_activity_ + std::chrono::milliseconds(timing_.keepalive_ms)) == 0) {
      (void)Command("AT", timing_.command_ms);
      last_activity_ = Clock::now();  // a silent modem is counted by Command, not retried at once
    }
  }
}

}  // namespace talvenix::at
