// SPDX-License-Identifier: Apache-2.0
#include "drivers/at/at_line.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "drivers/at/at_line_util.hpp"

namespace talvenix::at {

using namespace line;

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
  owed_submits_.clear();  // a modem that starts again owes nothing
  owed_lines_.clear();
  owed_oks_ = 0;
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
    SimPin stored = SimPinOf(record_.comport);
    const std::string& pin = stored.pin;
    if (pin_refused_)
      return Fail(kFailSimLocked, ("the SIM refused the PIN of [simpins] " + name_ +
                                   " before; it is not offered again (three wrong tries lock the SIM)")
                                      .c_str());
    if (pin.empty())
      return Fail(kFailSimLocked,
                  ("the SIM needs SIM PIN; set it as [simpins] " + name_ + " in the host settings").c_str());
    if (offered) return Fail(kFailSimLocked, "the SIM still wants its PIN after it was entered");
    if (stored.in_clear)
      Log(1,
          "GSMDrv - %s: the PIN of [simpins] %s is stored in clear; store what \"talvenix config cipher PIN\" prints.",
          name_.c_str(), name_.c_str());
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

}  // namespace talvenix::at
