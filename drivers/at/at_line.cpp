// SPDX-License-Identifier: Apache-2.0
#include "drivers/at/at_line.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "drivers/at/at_line_util.hpp"
#include "drivers/at/device_holders.hpp"
#include "support/overrides.hpp"
#include "support/peer_text.hpp"

namespace talvenix::at {

using namespace line;

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
        RestartHolds();
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
  if (path.empty()) {
    failure_ = kFailDeviceMissing;
    if (last_state_ != failure_)
      Log(0, "GSMDrv - %s: the host settings file %s cannot be read, so the device of COM%u is unknown.", name_.c_str(),
          HostSettingsPath().c_str(), record_.comport);
    return false;
  }
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

// The sends that waited their turn on a ready line begin their wait for a
// ready line now, not from when they were sent.
void AtLine::RestartHolds() {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  for (SendJob& job : queue_) job.hold_until = std::max(job.hold_until, now + job.hold_for);
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
    if (answer.written) owed_submits_.push_back({submitting_, Clock::now(), true});
    if (!Resync()) answer.result = lost_ ? Answer::kGone : Answer::kStopped;
    for (OwedSubmit& owed : owed_submits_) owed.in_hand = false;
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
// a query is repeated until its own answer arrives: one whose kind has no
// answer owed by an earlier probe, so that answer cannot be an earlier one's.
// A late "+CMGS:" seen on the way is kept: that submission did reach the network.
bool AtLine::Resync() {
  static constexpr std::pair<const char*, const char*> kProbes[] = {
      {"AT+CMGF?", "+CMGF:"}, {"AT+CSCA?", "+CSCA:"}, {"AT+CSMS?", "+CSMS:"}};
  (void)port_.Write("\x1B", timing_.command_ms);
  for (uint32_t i = 0; i < std::max<uint32_t>(timing_.failures, 1) && !lost_ && !Stopping(); ++i) {
    Exchange probe;
    for (size_t k = 0; k < std::size(kProbes) && probe.command.empty(); ++k) {
      const auto& [command, expect] = kProbes[(next_probe_ + k) % std::size(kProbes)];
      if (owed_lines_[expect] > 0) continue;
      probe.command = command;
      probe.expect = expect;
    }
    if (probe.command.empty()) break;  // every probe's answer is still owed
    next_probe_ = (next_probe_ + 1) % std::size(kProbes);
    probe.needs_line = true;
    Answer a = Transact(probe, timing_.command_ms);
    if (a.result == Answer::kOk) return true;
    if (a.result == Answer::kGone || a.result == Answer::kStopped) return false;
    if (a.result == Answer::kTimeout) ++owed_lines_[probe.expect];
    if (a.result == Answer::kError) WaitFor(timing_.backoff_ms);  // stale, or not ready for a moment
  }
  if (!Stopping()) Lost(kFailNoAnswer, "the modem stopped answering");
  return false;
}

bool AtLine::OwedAnswer(const AtEvent& e, const Exchange* ex) {
  using K = AtEvent::Kind;
  // The modem gets twice the submit limit more after the send gave up; an
  // answer later than that can no longer be told from a later submission's.
  if (!owed_submits_.empty()) {
    auto too_old = Clock::now() - 2 * std::chrono::milliseconds(timing_.submit_ms);
    while (!owed_submits_.empty() && !owed_submits_.front().in_hand && owed_submits_.front().given_up < too_old)
      owed_submits_.pop_front();
  }
  bool line = e.kind == K::kLine;
  if (line && StartsWith(e.text, "+CMGS:")) {
    if (owed_submits_.empty()) {
      if (ex && ex->prompted) return false;  // the running submission's own
      Log(1, "GSMDrv - %s: late answer %s to an earlier submission.", name_.c_str(), PeerText(e.text).c_str());
      ++owed_oks_;
      return true;
    }
    OwedSubmit owed = std::move(owed_submits_.front());
    owed_submits_.pop_front();
    ++owed_oks_;
    int reference = NumberAfter(e.text, 6);
    if (owed.in_hand) {
      late_reference_ = reference;  // the part being decided: its send records it
      return true;
    }
    Log(1, "GSMDrv - %s: late answer %s to part %zu of %zu to %s, already reported: recorded as sent.", name_.c_str(),
        PeerText(e.text).c_str(), owed.part.part, owed.part.parts, owed.part.recipient.c_str());
    if (reference >= 0 && reference < 256) sent_[static_cast<uint8_t>(reference)] = std::move(owed.part);
    return true;
  }
  if (e.kind == K::kError && e.cms && !owed_submits_.empty()) {
    OwedSubmit owed = std::move(owed_submits_.front());
    owed_submits_.pop_front();
    Log(1, "GSMDrv - %s: late answer +CMS ERROR %d to part %zu of %zu to %s%s.", name_.c_str(), e.code, owed.part.part,
        owed.part.parts, owed.part.recipient.c_str(), owed.in_hand ? "" : ", already reported");
    return true;
  }
  if (line) {
    for (auto& [prefix, count] : owed_lines_)
      if (count > 0 && StartsWith(e.text, prefix.c_str())) {
        --count;
        ++owed_oks_;
        return true;
      }
    return false;
  }
  if (e.kind == K::kOk && owed_oks_ > 0) {
    --owed_oks_;
    return true;
  }
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
    if (OwedAnswer(e, ex)) continue;
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

}  // namespace talvenix::at
