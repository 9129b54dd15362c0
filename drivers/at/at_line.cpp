#include "drivers/at/at_line.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "drivers/at/device_holders.hpp"
#include "support/peer_text.hpp"
#include "support/text_codec.hpp"

namespace talvenix::at {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kMaxRetries = 10;
constexpr int32_t kFailed = 1;
constexpr int32_t kNotTried = -1;  // the device went away before anything was written

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

bool IsHex(const std::string& s) {
  return !s.empty() && s.size() % 2 == 0 && s.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos;
}

}  // namespace

AtLine::AtLine(const TalvexDriverLineRecord& record, const Timing& timing, Handoff handoff)
    : record_(record), timing_(timing), handoff_(std::move(handoff)), name_("COM" + std::to_string(record.comport)) {}

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
    if (!accepting_) return false;
    queue_.push_back(std::move(job));
  }
  waker_.Wake();
  return true;
}

std::optional<SendJob> AtLine::NextJob() {
  std::lock_guard lock(mutex_);
  if (queue_.empty()) return std::nullopt;
  SendJob job = std::move(queue_.front());
  queue_.pop_front();
  return job;
}

void AtLine::Run() {
  uint32_t backoff = timing_.backoff_ms;
  while (!Stopping()) {
    lost_ = false;
    if (OpenDevice()) {
      // A restart banner or a lost registration comes back here, on the open device.
      while (!Stopping() && !lost_ && Initialise()) {
        if (!AwaitNetwork()) {
          if (restarted_) continue;
          break;
        }
        backoff = timing_.backoff_ms;
        phase_ = Phase::kReady;
        Log(2, "GSMDrv - %s ready.", name_.c_str());
        ReportState(0);
        Serve();
        phase_ = Phase::kStarting;
      }
      if (Stopping()) break;
    }
    port_.Close();
    phase_ = Phase::kFailed;
    ReportState(failure_);
    HandOffQueued();
    // Reopen later; a stop ends the wait at once. Held sends wait meanwhile.
    auto until = Clock::now() + std::chrono::milliseconds(backoff);
    while (!Stopping() && MsUntil(until) > 0) WaitFor(MsUntil(until));
    backoff = std::min<uint32_t>(timing_.backoff_max_ms, backoff * 2);
    if (!Stopping()) Log(2, "GSMDrv - %s: reopening the device.", name_.c_str());
  }
  port_.Close();
  FailQueued(stop_code_);
  FlushPartials(true);
}

// Sleeps up to `ms` (a new job or a stop wakes it) and, unless the line is
// ready, fails the held sends whose time ran out.
void AtLine::WaitFor(uint32_t ms) {
  auto until = Clock::now() + std::chrono::milliseconds(ms);
  {
    std::lock_guard lock(mutex_);
    for (const SendJob& job : queue_) until = std::min(until, job.hold_until);
  }
  waker_.Wait(MsUntil(until));
  if (phase_ != Phase::kReady) ExpireHeld();
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
  failure_ = port_.error() == E::kBusy ? kFailDeviceBusy : kFailDeviceMissing;
  if (last_state_ == failure_) return false;  // said once
  std::string holders = failure_ == kFailDeviceBusy ? DeviceHolders(path) : "";
  Log(0, "GSMDrv - %s: cannot open the device: %s%s%s%s", name_.c_str(), port_.error_text().c_str(),
      port_.error() == E::kNotATty ? " (not a serial device)" : "", holders.empty() ? "" : "; it is held by ",
      holders.c_str());
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

// While this line is down its sends go to another ready line, if there is one;
// the rest wait here for this line to come back.
void AtLine::HandOffQueued() {
  std::deque<SendJob> waiting;
  {
    std::lock_guard lock(mutex_);
    waiting.swap(queue_);
  }
  std::deque<SendJob> kept;
  for (SendJob& job : waiting)
    if (!handoff_ || !handoff_(job)) kept.push_back(std::move(job));
  std::lock_guard lock(mutex_);
  queue_.insert(queue_.begin(), std::make_move_iterator(kept.begin()), std::make_move_iterator(kept.end()));
}

void AtLine::ExpireHeld() {
  std::deque<SendJob> expired;
  {
    std::lock_guard lock(mutex_);
    auto now = Clock::now();
    for (auto it = queue_.begin(); it != queue_.end();) {
      if (it->hold_until > now) {
        ++it;
        continue;
      }
      expired.push_back(std::move(*it));
      it = queue_.erase(it);
    }
  }
  for (SendJob& job : expired) {
    Log(0, "GSMDrv - %s: no line became ready in time for the message to %s; not sent.", name_.c_str(),
        job.recipient.c_str());
    if (job.callback)
      job.callback(kFailed, static_cast<int32_t>(record_.comport), TALVEX_DRV_SEND_OUTCOME, record_.context,
                   job.request, TALVEX_DATA_REQUEST);
  }
}

// ---- Commands ---------------------------------------------------------------

AtLine::Answer AtLine::Command(const std::string& command, uint32_t timeout_ms) {
  Exchange exchange;
  exchange.command = command;
  // "AT+CREG?" and "AT+CMGL=4" answer with "+CREG:" and "+CMGL:" lines.
  if (StartsWith(command, "AT+") || StartsWith(command, "AT^"))
    exchange.expect = command.substr(2, command.find_first_of("=?", 2) - 2) + ":";
  return Command(std::move(exchange), timeout_ms);
}

AtLine::Answer AtLine::Command(Exchange exchange, uint32_t timeout_ms) {
  Answer answer = Transact(exchange, timeout_ms);
  if (answer.result == Answer::kTimeout) {
    bool pin = StartsWith(exchange.command, "AT+CPIN=");  // a PIN never reaches the log
    Log(1, "GSMDrv - %s: no answer to %s within %u ms.", name_.c_str(), pin ? "AT+CPIN=****" : exchange.command.c_str(),
        timeout_ms);
    late_reference_ = -1;  // only an answer that comes now can be this command's
    if (!Resync()) answer.result = lost_ ? Answer::kGone : Answer::kStopped;
    answer.late_reference = late_reference_;
  }
  return answer;
}

// 302 not allowed (yet), 314 SIM busy, +CME 14 SIM busy, +CME 515 please wait:
// what a modem answers for a moment after it started or took a PIN.
bool AtLine::NotReadyYet(const Answer& a) {
  return a.result == Answer::kError && (a.cms ? a.code == 302 || a.code == 314 : a.code == 14 || a.code == 515);
}

AtLine::Answer AtLine::Insist(const std::string& command, uint32_t timeout_ms) {
  uint32_t pause = timing_.backoff_ms;
  for (int attempt = 0;; ++attempt) {
    Answer a = Command(command, timeout_ms);
    if (!NotReadyYet(a) || attempt >= 4 || Stopping()) return a;
    Log(1, "GSMDrv - %s: %s answered %s ERROR %d (not ready yet); again in %u ms.", name_.c_str(), command.c_str(),
        a.cms ? "+CMS" : "+CME", a.code, pause);
    WaitFor(pause);
    pause *= 2;
  }
}

// Writes the command and reads until its own final result, the time-out, the
// loss of the device or a stop.
AtLine::Answer AtLine::Transact(Exchange& exchange, uint32_t timeout_ms) {
  Answer answer;
  if (!port_.is_open() || lost_) {
    answer.result = Answer::kGone;
    return answer;
  }
  if (!port_.Write(exchange.command + "\r", timing_.command_ms)) {
    Lost(kFailDeviceLost, "the device refused a write");
    answer.result = Answer::kGone;
    return answer;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!Pump(MsUntil(deadline), answer, &exchange)) {
    if (answer.result == Answer::kGone || answer.result == Answer::kStopped) return answer;
    if (MsUntil(deadline) == 0) {
      answer.result = Answer::kTimeout;
      return answer;
    }
  }
  return answer;
}

// After a time-out the modem may still be at its text prompt, and the answer
// of the abandoned command may come at any moment. ESC leaves the prompt; then
// a query whose answer cannot be mistaken for an earlier one is repeated
// until its answer arrives: everything before it is stale. A late "+CMGS:"
// seen on the way is kept: that submission did reach the network.
bool AtLine::Resync() {
  (void)port_.Write("\x1B", timing_.command_ms);
  for (uint32_t i = 0; i < std::max<uint32_t>(timing_.failures, 1) && !lost_ && !Stopping(); ++i) {
    Exchange probe;
    probe.command = "AT+CMGF?";
    probe.expect = "+CMGF:";
    probe.needs_line = true;
    Answer a = Transact(probe, timing_.command_ms);
    if (a.result == Answer::kOk) return true;
    if (a.result == Answer::kGone || a.result == Answer::kStopped) return false;
    if (a.result == Answer::kError) WaitFor(timing_.backoff_ms);  // stale, or not ready for a moment
  }
  if (!Stopping()) Lost(kFailNoAnswer, "the modem stopped answering");
  return false;
}

// Waits for bytes once and reads what came. True when the final result of
// the running exchange arrived; indications are set aside for later.
bool AtLine::Pump(uint32_t timeout_ms, Answer& answer, Exchange* ex) {
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
    if (e.kind == K::kUnsolicited && ex && !done && !ex->expect.empty() && StartsWith(e.text, ex->expect.c_str()))
      e.kind = K::kLine;  // "+CREG: 0,1" answering AT+CREG?
    if (e.kind == K::kLine && StartsWith(e.text, "+CMGS:") && !(ex && ex->prompted)) {
      late_reference_ = NumberAfter(e.text, 6);  // a submission answered after its time limit
      Log(1, "GSMDrv - %s: late answer %s to an earlier submission.", name_.c_str(), PeerText(e.text).c_str());
      continue;
    }
    switch (e.kind) {
      case K::kNewMessage:
      case K::kNewReport:
      case K::kMessage:
      case K::kReport:
        indications_.push_back(std::move(e));
        break;
      case K::kRestart:
        Log(1, "GSMDrv - %s: the modem restarted (%s).", name_.c_str(), e.text.c_str());
        restarted_ = true;
        break;
      case K::kUnsolicited:
        break;
      case K::kOk:
        // Stale unless it can be this command's: a submission needs the
        // prompt, its PDU and "+CMGS:"; a probe needs its own line.
        if (done || !ex || (!ex->pdu.empty() && !ex->prompted) || (ex->needs_line && !ex->seen_line)) break;
        done = true;
        answer.result = Answer::kOk;
        break;
      case K::kError:
        if (done || !ex) break;
        done = true;
        answer.result = Answer::kError;
        answer.code = e.code;
        answer.cms = e.cms;
        break;
      case K::kPrompt:
        if (done || !ex || ex->pdu.empty() || ex->prompted) {
          // The modem waits for text nobody will send: leave the prompt.
          (void)port_.Write("\x1B", timing_.command_ms);
          break;
        }
        ex->prompted = true;
        if (!port_.Write(ex->pdu + "\x1A", timing_.command_ms)) {
          Lost(kFailDeviceLost, "the device refused a write");
          answer.result = Answer::kGone;
          return false;
        }
        answer.written = true;
        break;
      case K::kLine:
        if (done || !ex || e.text == ex->command || (!ex->pdu.empty() && e.text.find(ex->pdu) != std::string::npos))
          break;  // echo, or a stray line between commands
        if (!ex->expect.empty() && StartsWith(e.text, ex->expect.c_str())) ex->seen_line = true;
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
  restarted_ = unregistered_ = false;
  late_reference_ = -1;
  failure_ = kFailNoAnswer;
  (void)port_.Write("\x1B", timing_.command_ms);  // ends a text prompt left open by an earlier owner
  Answer a;
  for (uint32_t i = 0; i < timing_.failures && !Stopping(); ++i) {
    Exchange probe;
    probe.command = "AT";
    a = Transact(probe, timing_.command_ms);
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
  if (!UnlockSim()) return false;
  if (Insist("AT+CMGF=0", timing_.command_ms).result != Answer::kOk)
    return Fail(kFailInitRefused, "the modem refused PDU mode (AT+CMGF=0)");
  // The service centre number is read in the character set the modem is in.
  if (Command("AT+CSCS=\"GSM\"", timing_.command_ms).result != Answer::kOk)
    Log(1, "GSMDrv - %s: the modem refused the GSM character set.", name_.c_str());
  if (record_.has_smsc && record_.smsc[0]) {
    std::string smsc(record_.smsc, strnlen(record_.smsc, sizeof record_.smsc));
    if (Insist("AT+CSCA=\"" + smsc + "\"," + (smsc[0] == '+' ? "145" : "129"), timing_.command_ms).result !=
        Answer::kOk)
      Log(1, "GSMDrv - %s: the modem refused the service centre %s.", name_.c_str(), smsc.c_str());
  }
  a = Command("AT+CSMS?", timing_.command_ms);
  acknowledge_ = false;
  for (const std::string& l : a.lines)
    if (StartsWith(l, "+CSMS:")) acknowledge_ = NumberAfter(l, 6) == 1;
  std::string cnmi = CnmiParameters();
  if (Insist("AT+CNMI=" + cnmi, timing_.command_ms).result != Answer::kOk) {
    Log(1, "GSMDrv - %s: AT+CNMI=%s refused; trying 2,1,0,0,0.", name_.c_str(), cnmi.c_str());
    cnmi = std::string("2,") + (record_.can_receive ? "1" : "0") + ",0,0,0";
    if (Command("AT+CNMI=" + cnmi, timing_.command_ms).result != Answer::kOk) {
      Log(1, "GSMDrv - %s: AT+CNMI=%s refused as well; the modem may announce nothing, the SIM is polled.",
          name_.c_str(), cnmi.c_str());
      cnmi = "0,0,0,0,0";
    }
  }
  report_request_ = cnmi.size() >= 7 && cnmi[6] != '0';
  if (Insist("AT+CPMS=\"SM\",\"SM\",\"SM\"", timing_.command_ms).result != Answer::kOk)
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

// The SIM's PIN comes from the host settings and is offered once: a refused
// PIN is never offered again, since three wrong tries lock the SIM.
bool AtLine::UnlockSim() {
  bool offered = false;
  for (int attempt = 0;; ++attempt) {
    Answer a = Command("AT+CPIN?", timing_.command_ms);
    std::string state;
    for (const std::string& l : a.lines)
      if (StartsWith(l, "+CPIN:")) state = l.substr(6);
    state.erase(0, state.find_first_not_of(" \""));
    state.erase(std::min(state.size(), state.find('"')));
    if (a.result == Answer::kOk && state == "READY") return true;
    if (lost_ || Stopping()) return Fail(failure_, "the modem went away while the SIM was checked");
    if ((NotReadyYet(a) || offered) && attempt < 5) {
      WaitFor(timing_.backoff_ms << std::min(attempt, 4));  // the SIM takes a moment after a PIN
      continue;
    }
    if (a.result == Answer::kError)
      return Fail(kFailSimLocked, ("the SIM is missing or failing (error " + std::to_string(a.code) + ")").c_str());
    if (state != "SIM PIN")
      return Fail(
          kFailSimLocked,
          ("the SIM needs " + (state.empty() ? std::string("unlocking") : state) + "; enter it on the modem").c_str());
    std::string pin = SimPinOf(record_.comport);
    if (pin_refused_)
      return Fail(kFailSimLocked, ("the SIM refused the PIN of [simpins] " + name_ +
                                   " before; it is not offered again (three wrong tries lock the SIM)")
                                      .c_str());
    if (pin.empty())
      return Fail(kFailSimLocked,
                  ("the SIM needs SIM PIN; set it as [simpins] " + name_ + " in the host settings").c_str());
    if (offered) return Fail(kFailSimLocked, "the SIM still wants its PIN after it was entered");
    Answer entered = Command("AT+CPIN=\"" + pin + "\"", timing_.command_ms);
    if (entered.result != Answer::kOk) {
      if (entered.result == Answer::kError) pin_refused_ = true;
      return Fail(kFailSimLocked, ("the SIM refused the PIN of [simpins] " + name_ +
                                   "; it is not offered again (three wrong tries lock the SIM)")
                                      .c_str());
    }
    Log(2, "GSMDrv - %s: PIN of [simpins] %s entered.", name_.c_str(), name_.c_str());
    offered = true;
  }
}

// Registration status of 27.007: 1 home, 5 roaming. -1 when the modem answers
// neither AT+CREG? nor AT+CEREG? (it is then taken as registered).
int AtLine::Registration() {
  int best = -1;
  for (const char* command : {"AT+CREG?", "AT+CEREG?"}) {
    Answer a = Command(command, timing_.command_ms);
    for (const std::string& l : a.lines) {
      size_t colon = l.find(':');
      if (colon == std::string::npos) continue;
      size_t comma = l.find(',', colon);
      int stat = NumberAfter(l, comma == std::string::npos ? colon : comma);  // "+CREG: <n>,<stat>[,...]"
      if (stat == 1 || stat == 5) return stat;
      if (stat >= 0) best = stat;
    }
    if (lost_ || Stopping()) return best;
  }
  return best;
}

// A line is ready only when its modem is registered; until then sends wait
// and stored messages are still read.
bool AtLine::AwaitNetwork() {
  bool told = false;
  for (;;) {
    int stat = Registration();
    if (lost_ || Stopping()) return false;
    if (stat < 0 || stat == 1 || stat == 5) {
      if (told) Log(2, "GSMDrv - %s: registered (status %d).", name_.c_str(), stat);
      return true;
    }
    if (!told) {
      Log(1, "GSMDrv - %s: not registered to a network (status %d: %s); waiting.", name_.c_str(), stat,
          stat == 2   ? "searching"
          : stat == 3 ? "registration denied"
                      : "not searching");
      told = true;
      ReportState(kWaitNetwork);
    }
    auto until = Clock::now() + std::chrono::milliseconds(timing_.command_ms);
    while (!lost_ && !Stopping() && !restarted_ && MsUntil(until) > 0) {
      Answer none;
      (void)Pump(std::min<uint32_t>(MsUntil(until), 100), none, nullptr);
      HandleIndications();
      ExpireHeld();
    }
    if (restarted_) return false;
  }
}

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
    HandleReport(*s);
    DeleteStored(at);
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
    std::u16string text;
    for (auto& [n, part] : p.parts) text += part;
    Log(1, "GSMDrv - %s: incomplete message from %s (%zu of %u parts) delivered as it is.", name_.c_str(),
        p.originator.c_str(), p.parts.size(), p.total);
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
  for (size_t i = 0; i < build.parts.size(); ++i) {
    int32_t code = SendPart(job, build.parts[i], i + 1, build.parts.size());
    if (code == kNotTried && i > 0) code = kFailed;  // earlier parts went out: sending again would repeat them
    if (code != TALVEX_OK) return code;
  }
  Log(2, "GSMDrv - %s: message to %s sent in %zu part(s).", name_.c_str(), job.recipient.c_str(), build.parts.size());
  return TALVEX_OK;
}

// A part counts as sent only on "+CMGS: <mr>" after its PDU went out, in
// its answer or, late, while the line is brought back in step after it.
// Temporary errors are retried after a growing pause, all within the submit
// limit; the others, a time-out and a lost device are not.
int32_t AtLine::SendPart(const SendJob& job, const SubmitPart& part, size_t number, size_t parts) {
  uint32_t retries = std::min(record_.sms_retry, kMaxRetries);
  auto deadline = Clock::now() + std::chrono::milliseconds(timing_.submit_ms);
  uint32_t pause = timing_.backoff_ms;
  for (uint32_t attempt = 0;; ++attempt) {
    Exchange submit;
    submit.command = "AT+CMGS=" + std::to_string(part.tpdu_length);
    submit.pdu = part.hex;
    submit.expect = "+CMGS:";
    submit.needs_line = true;
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
      if (reference >= 0 && reference < 256)
        sent_[static_cast<uint8_t>(reference)] = {job.recipient, job.text, number, parts};
      return TALVEX_OK;
    }
    if (a.result == Answer::kStopped || Stopping()) return stop_code_;
    if (a.result == Answer::kGone || a.result == Answer::kTimeout) {
      if (!a.written) return a.result == Answer::kGone ? kNotTried : kFailed;
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
      int32_t code = Send(*job);
      if (code == kNotTried) {  // the device went away first: it waits for a line
        std::lock_guard lock(mutex_);
        queue_.push_front(std::move(*job));
        continue;
      }
      if (job->callback)
        job->callback(code, static_cast<int32_t>(record_.comport), TALVEX_DRV_SEND_OUTCOME, record_.context,
                      job->request, TALVEX_DATA_REQUEST);
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
