// SPDX-License-Identifier: Apache-2.0
#include "drivers/at/modem_sim.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace talvenix::testing {
namespace {

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

}  // namespace

struct ModemSim::State {
  explicit State(Options o) : options(std::move(o)) {}
  Options options;
  std::mutex mutex;
  std::condition_variable changed;
  int master = -1, slave = -1;
  int wake[2] = {-1, -1};
  bool stopping = false;
  bool echo = true;
  bool in_pdu = false;
  size_t pdu_length = 0;
  std::string input;
  int fail_submits = 0, fail_code = 0;
  uint32_t submit_delay_ms = 0;
  std::deque<uint32_t> answer_later_ms;
  std::vector<std::thread> late_answers;
  int late_percent = 0;
  uint32_t late_min_ms = 0, late_max_ms = 0;
  std::mt19937 random;
  int fail_reads = 0, fail_read_code = 0;
  int registration = 1;
  bool cnmi_set = false;
  bool unlocked = false;
  int pin_attempts = 0;
  std::chrono::steady_clock::time_point ready_at;
  uint8_t next_reference = 0;
  std::map<int, std::string> store;
  std::vector<std::string> inject;
  std::vector<Submitted> submitted;
  std::vector<std::string> commands;
  int acknowledgements = 0;
  std::thread thread;
};

ModemSim::ModemSim(std::string link, Options options)
    : link_(std::move(link)), s_(std::make_unique<State>(std::move(options))) {
  if (pipe2(s_->wake, O_CLOEXEC | O_NONBLOCK) != 0) s_->wake[0] = s_->wake[1] = -1;
  Plug();
  s_->thread = std::thread([this] { Run(); });
}

ModemSim::~ModemSim() {
  {
    std::lock_guard lock(s_->mutex);
    s_->stopping = true;
  }
  s_->changed.notify_all();
  (void)!write(s_->wake[1], "x", 1);
  s_->thread.join();
  for (std::thread& t : s_->late_answers) t.join();
  Close();
  close(s_->wake[0]);
  close(s_->wake[1]);
}

void ModemSim::Plug() {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  std::string device = ttyname(slave);
  std::error_code ignored;
  std::filesystem::remove(link_, ignored);
  std::filesystem::create_symlink(device, link_, ignored);
  std::lock_guard lock(s_->mutex);
  s_->master = master;
  s_->slave = slave;
  s_->echo = true;  // a modem starts with its stored profile
  s_->in_pdu = false;
  s_->input.clear();
  s_->cnmi_set = s_->unlocked = false;
  s_->ready_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(s_->options.not_ready_ms);
}

void ModemSim::Restart(const std::string& banner) {
  std::lock_guard lock(s_->mutex);
  s_->echo = true;
  s_->in_pdu = false;
  s_->input.clear();
  s_->cnmi_set = false;
  s_->ready_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(s_->options.not_ready_ms);
  Write("\r\n" + banner + "\r\n");
}

// Called holding the mutex.
bool ModemSim::NotReady() const { return std::chrono::steady_clock::now() < s_->ready_at; }

void ModemSim::Close() {
  std::lock_guard lock(s_->mutex);
  std::error_code ignored;
  std::filesystem::remove(link_, ignored);
  if (s_->master >= 0) close(s_->master);
  if (s_->slave >= 0) close(s_->slave);
  s_->master = s_->slave = -1;
}

void ModemSim::Unplug() {
  Close();  // the device of the open link is gone at once: reads there fail
}

void ModemSim::Replug() {
  Plug();
  (void)!write(s_->wake[1], "x", 1);
}

void ModemSim::Write(const std::string& bytes) {
  // Called holding s_->mutex, so every answer and indication is written whole.
  size_t done = 0;
  for (int spins = 0; done < bytes.size() && s_->master >= 0 && spins < 1000; ++spins) {
    ssize_t n = write(s_->master, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else {
      pollfd p{s_->master, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
}

void ModemSim::Answer(const std::string& body, const std::string& final_result) {
  std::string out = body;
  for (const std::string& line : s_->inject) out += "\r\n" + line + "\r\n";
  s_->inject.clear();
  Write(out + "\r\n" + final_result + "\r\n");
}

void ModemSim::Run() {
  char buffer[512];
  for (;;) {
    int master;
    {
      std::lock_guard lock(s_->mutex);
      if (s_->stopping) return;
      master = s_->master;
    }
    pollfd p[2] = {{s_->wake[0], POLLIN, 0}, {master, POLLIN, 0}};
    int n = poll(p, master >= 0 ? 2 : 1, 200);
    if (n <= 0) continue;
    if (p[0].revents & POLLIN) {
      while (read(s_->wake[0], buffer, sizeof buffer) > 0) {
      }
      continue;
    }
    if (!(p[1].revents & POLLIN)) continue;
    std::unique_lock lock(s_->mutex);
    if (s_->master != master) continue;  // unplugged meanwhile
    ssize_t got = read(s_->master, buffer, sizeof buffer);
    if (got <= 0) continue;
    if (s_->options.silent) continue;
    for (ssize_t i = 0; i < got; ++i) {
      char c = buffer[i];
      if (s_->in_pdu) {
        if (c == 0x1A) {
          s_->in_pdu = false;
          std::string hex;
          hex.swap(s_->input);
          lock.unlock();
          Submit(hex);
          lock.lock();
        } else if (c == 0x1B) {
          s_->in_pdu = false;
          s_->input.clear();
          Answer("");
        } else if (c != '\r' && c != '\n') {
          s_->input.push_back(c);
        }
        if (s_->echo) Write(std::string(1, c));
        continue;
      }
      if (s_->echo) Write(std::string(1, c));
      if (c == '\r') {
        std::string line;
        line.swap(s_->input);
        Command(line);
      } else if (c != '\n' && c != 0x1B && s_->input.size() < 1024) {
        s_->input.push_back(c);
      }
    }
  }
}

// Called holding the mutex.
void ModemSim::Command(std::string line) {
  std::string up = Upper(line);
  if (up.empty()) return;
  s_->commands.push_back(line);
  s_->changed.notify_all();
  if (up.rfind("AT", 0) != 0) {
    Answer("", "ERROR");
    return;
  }
  std::string c = up.substr(2);
  auto arg = [&](const char* prefix) { return c.substr(std::string(prefix).size()); };
  auto is = [&](const char* prefix) { return c.rfind(prefix, 0) == 0; };
  bool sms = is("+CMGF=") || is("+CNMI") || is("+CPMS") || is("+CMGL") || is("+CMGR") || is("+CMGS") || is("+CMGD");
  if (sms && NotReady()) {
    Answer("", "+CMS ERROR: 302");
  } else if (is("+CNMI=") && s_->options.refuse_cnmi) {
    Answer("", "+CMS ERROR: 303");
  } else if (c == "+CMGF?") {
    Answer("\r\n+CMGF: 0\r\n");
  } else if (is("+CPIN=")) {
    ++s_->pin_attempts;
    std::string pin = line.substr(std::string("AT+CPIN=").size());
    pin.erase(std::remove(pin.begin(), pin.end(), '"'), pin.end());
    s_->unlocked = s_->unlocked || pin == s_->options.pin;
    Answer("", pin == s_->options.pin ? "OK" : "+CME ERROR: 16");
  } else if (c.empty() || c == "Z" || is("+CMEE=") || is("+CSCA=") || is("+CNMI=") || is("&F") || is("V1") ||
             is("Q0") || is("+CSMS=") || is("+CMGF=0") || is("S0=") || is("+CLIP") || is("+CSCS=")) {
    if (is("+CNMI=")) s_->cnmi_set = true;
    if (c == "Z") s_->echo = true;
    Answer("");
  } else if (c == "E0" || c == "E1") {
    s_->echo = c == "E1";
    Answer("");
  } else if (c == "+CPIN?") {
    Answer(!s_->options.pin.empty() && !s_->unlocked ? "\r\n+CPIN: SIM PIN\r\n"
                                                     : "\r\n+CPIN: " + s_->options.cpin_ready + "\r\n");
  } else if (c == "+CSCA?") {
    Answer("\r\n+CSCA: \"+27381000015\",145\r\n");
  } else if (c == "+CSMS?") {
    Answer(std::string("\r\n+CSMS: ") + (s_->options.acknowledge ? "1" : "0") + ",1,1,1\r\n");
  } else if (c == "+CNMI?") {
    Answer("\r\n+CNMI: 2,1,0,1,0\r\n");
  } else if (c == "+CNMA") {
    ++s_->acknowledgements;
    Answer("");
  } else if (is("+CPMS")) {
    std::string used = std::to_string(s_->store.size());
    if (c == "+CPMS?")
      Answer("\r\n+CPMS: \"SM\"," + used + ",30,\"SM\"," + used + ",30,\"SM\"," + used + ",30\r\n");
    else if (c.find("\"SM\"") != std::string::npos || c.find("\"SR\"") != std::string::npos)
      Answer("\r\n+CPMS: " + used + ",30," + used + ",30," + used + ",30\r\n");
    else
      Answer("", "+CMS ERROR: 302");
  } else if (c == "+CSQ") {
    Answer("\r\n+CSQ: 21,99\r\n");
  } else if (c == "+CREG?" || c == "+CEREG?") {
    Answer("\r\n" + c.substr(0, c.size() - 1) + ": 0," + std::to_string(s_->registration) + "\r\n");
  } else if (c == "+COPS?") {
    Answer("\r\n+COPS: 0,0,\"Simulated\"\r\n");
  } else if (c == "I" || c == "+CGMI" || c == "+CGMM" || c == "+CGMR") {
    Answer("\r\nTalvenix modem simulator\r\n");
  } else if (c == "+CGSN" || c == "+CIMI") {
    Answer("\r\n001010123456789\r\n");
  } else if (is("+CMGS=")) {
    s_->pdu_length = static_cast<size_t>(std::atoi(arg("+CMGS=").c_str()));
    s_->in_pdu = true;
    s_->input.clear();
    if (s_->options.stale_ok) Write("\r\nOK\r\n");
    Write("\r\n" + s_->options.prompt);
  } else if (is("+CMGR=")) {
    auto it = s_->store.find(std::atoi(arg("+CMGR=").c_str()));
    if (s_->fail_reads > 0) {
      --s_->fail_reads;
      Answer("", "+CMS ERROR: " + std::to_string(s_->fail_read_code));
    } else if (it == s_->store.end()) {
      Answer("", "+CMS ERROR: 321");
    } else {
      size_t length = it->second.size() / 2 - 1 - std::stoul(it->second.substr(0, 2), nullptr, 16);
      Answer("\r\n+CMGR: 0,," + std::to_string(length) + "\r\n" + AmidRead() + it->second + "\r\n");
    }
  } else if (is("+CMGD=")) {
    std::string a = arg("+CMGD=");
    size_t comma = a.find(',');
    if (comma != std::string::npos && std::atoi(a.c_str() + comma + 1) == 4)
      s_->store.clear();
    else
      s_->store.erase(std::atoi(a.c_str()));
    s_->changed.notify_all();
    Answer("");
  } else if (is("+CMGL")) {
    std::string body;
    for (auto& [index, pdu] : s_->store) {
      size_t length = pdu.size() / 2 - 1 - std::stoul(pdu.substr(0, 2), nullptr, 16);
      body += "\r\n+CMGL: " + std::to_string(index) + ",0,," + std::to_string(length) + "\r\n" + AmidRead() + pdu;
    }
    Answer(body.empty() ? "" : body + "\r\n");
  } else {
    Answer("", "ERROR");
  }
}

std::string ModemSim::AmidRead() const { return s_->options.amid_reads.empty() ? "" : s_->options.amid_reads + "\r\n"; }

void ModemSim::Submit(const std::string& hex) {
  std::unique_lock lock(s_->mutex);
  if (!s_->answer_later_ms.empty()) {
    uint32_t later = s_->answer_later_ms.front();
    s_->answer_later_ms.pop_front();
    if (s_->fail_submits > 0) {
      --s_->fail_submits;
      return AnswerLater(later, "", "+CMS ERROR: " + std::to_string(s_->fail_code));
    }
    uint8_t reference = s_->next_reference++;
    s_->submitted.push_back({hex, std::get<at::Submit>(*at::DecodePdu(hex, true, true).message), reference});
    s_->changed.notify_all();
    return AnswerLater(later, "\r\n+CMGS: " + std::to_string(reference) + "\r\n", "OK");
  }
  uint32_t delay = s_->submit_delay_ms;
  if (s_->late_percent > 0 && static_cast<int>(s_->random() % 100) < s_->late_percent)
    delay = s_->late_min_ms + static_cast<uint32_t>(s_->random() % (s_->late_max_ms - s_->late_min_ms + 1));
  if (delay > 0) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay);
    s_->changed.wait_until(lock, until, [this] { return s_->stopping || s_->master < 0; });
    if (s_->stopping || s_->master < 0) return;
  }
  at::DecodeResult r = at::DecodePdu(hex, true, true);
  size_t smsc_octets = hex.size() >= 2 ? 1 + std::stoul(hex.substr(0, 2), nullptr, 16) : 0;
  if (!r.message || hex.size() / 2 != smsc_octets + s_->pdu_length) {
    Answer("", "+CMS ERROR: 304");
    return;
  }
  if (s_->fail_submits > 0) {
    --s_->fail_submits;
    Answer("", "+CMS ERROR: " + std::to_string(s_->fail_code));
    return;
  }
  uint8_t reference = s_->next_reference++;
  s_->submitted.push_back({hex, std::get<at::Submit>(*r.message), reference});
  s_->changed.notify_all();
  Answer("\r\n+CMGS: " + std::to_string(reference) + "\r\n");
}

// Called holding the mutex: the answer is written by a thread of its own.
void ModemSim::AnswerLater(uint32_t delay_ms, std::string body, std::string final_result) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms);
  s_->late_answers.emplace_back([this, until, body = std::move(body), final_result = std::move(final_result)] {
    std::unique_lock lock(s_->mutex);
    s_->changed.wait_until(lock, until, [this] { return s_->stopping; });
    if (!s_->stopping) Answer(body, final_result);
  });
}

void ModemSim::AnswerSubmitsLater(const std::vector<uint32_t>& delays_ms) {
  std::lock_guard lock(s_->mutex);
  s_->answer_later_ms.assign(delays_ms.begin(), delays_ms.end());
}

std::string ModemSim::StoreLocked(const std::string& pdu, int& index) {
  index = 1;
  while (s_->store.count(index)) ++index;
  s_->store[index] = pdu;
  return pdu;
}

int ModemSim::Store(const std::string& pdu) {
  std::lock_guard lock(s_->mutex);
  int index;
  StoreLocked(pdu, index);
  return index;
}

void ModemSim::DeliverStored(const std::string& pdu) {
  std::lock_guard lock(s_->mutex);
  int index;
  StoreLocked(pdu, index);
  if (s_->cnmi_set) Write("\r\n+CMTI: \"SM\"," + std::to_string(index) + "\r\n");
}

void ModemSim::DeliverDirect(const std::string& pdu) {
  std::lock_guard lock(s_->mutex);
  size_t length = pdu.size() / 2 - 1 - std::stoul(pdu.substr(0, 2), nullptr, 16);
  Write("\r\n+CMT: ," + std::to_string(length) + "\r\n" + pdu + "\r\n");
}

void ModemSim::ReportStatus(uint8_t reference, uint8_t status, bool stored) {
  std::lock_guard lock(s_->mutex);
  std::string recipient = "+15550100";
  for (const Submitted& sent : s_->submitted)
    if (sent.reference == reference) recipient = sent.pdu.recipient.text;
  std::string pdu = StatusReportPdu(reference, recipient, status);
  size_t tpdu_octets = pdu.size() / 2 - 1 - std::stoul(pdu.substr(0, 2), nullptr, 16);
  if (stored) {
    int index;
    StoreLocked(pdu, index);
    Write("\r\n+CDSI: \"SM\"," + std::to_string(index) + "\r\n");
  } else {
    Write("\r\n+CDS: " + std::to_string(tpdu_octets) + "\r\n" + pdu + "\r\n");
  }
}

void ModemSim::InjectIntoNextAnswer(const std::string& line) {
  std::lock_guard lock(s_->mutex);
  s_->inject.push_back(line);
}

void ModemSim::FailSubmits(int count, int code) {
  std::lock_guard lock(s_->mutex);
  s_->fail_submits = count;
  s_->fail_code = code;
}

void ModemSim::SetSubmitDelay(uint32_t ms) {
  std::lock_guard lock(s_->mutex);
  s_->submit_delay_ms = ms;
}

void ModemSim::SetLateSubmits(int percent, uint32_t min_ms, uint32_t max_ms, unsigned seed) {
  std::lock_guard lock(s_->mutex);
  s_->late_percent = percent;
  s_->late_min_ms = min_ms;
  s_->late_max_ms = std::max(min_ms, max_ms);
  s_->random.seed(seed);
}

void ModemSim::FailReads(int count, int code) {
  std::lock_guard lock(s_->mutex);
  s_->fail_reads = count;
  s_->fail_read_code = code;
}

void ModemSim::SetRegistration(int stat) {
  std::lock_guard lock(s_->mutex);
  s_->registration = stat;
}

int ModemSim::pin_attempts() {
  std::lock_guard lock(s_->mutex);
  return s_->pin_attempts;
}

bool ModemSim::WaitSubmitted(size_t count, int timeout_ms) {
  std::unique_lock lock(s_->mutex);
  return s_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return s_->submitted.size() >= count; });
}

bool ModemSim::WaitCommand(const std::string& command, int timeout_ms) {
  std::unique_lock lock(s_->mutex);
  return s_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return std::any_of(s_->commands.begin(), s_->commands.end(),
                       [&](const std::string& c) { return c.rfind(command, 0) == 0; });
  });
}

std::vector<ModemSim::Submitted> ModemSim::submitted() {
  std::lock_guard lock(s_->mutex);
  return s_->submitted;
}

std::vector<std::string> ModemSim::commands() {
  std::lock_guard lock(s_->mutex);
  return s_->commands;
}

size_t ModemSim::stored_count() {
  std::lock_guard lock(s_->mutex);
  return s_->store.size();
}

int ModemSim::acknowledgements() {
  std::lock_guard lock(s_->mutex);
  return s_->acknowledgements;
}

}  // namespace talvenix::testing
