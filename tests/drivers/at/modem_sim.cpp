#include "drivers/at/modem_sim.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

namespace talvenix::testing {
namespace {

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

std::string Hex2(unsigned v) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[(v >> 4) & 0xF], kDigits[v & 0xF]};
}

std::string SemiOctets(const std::string& digits) {
  std::string out;
  for (size_t i = 0; i < digits.size(); i += 2) {
    out.push_back(i + 1 < digits.size() ? digits[i + 1] : 'F');
    out.push_back(digits[i]);
  }
  return out;
}

// Type and digits of an address field, written independently of the driver's encoder.
std::string AddressField(const std::string& number) {
  bool plus = !number.empty() && number[0] == '+';
  std::string digits = plus ? number.substr(1) : number;
  return Hex2(static_cast<unsigned>(digits.size())) + (plus ? "91" : "81") + SemiOctets(digits);
}

constexpr const char* kSmsc = "07917283010010F5";
constexpr const char* kTimestamp = "62103061521080";  // 2026-01-03 16:25:01 +02:00

}  // namespace

ModemSim::ModemSim(std::string link, Options options) : link_(std::move(link)), options_(options) {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
  Plug();
  thread_ = std::thread([this] { Run(); });
}

ModemSim::~ModemSim() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  (void)!write(wake_[1], "x", 1);
  thread_.join();
  Close();
  close(wake_[0]);
  close(wake_[1]);
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
  std::lock_guard lock(mutex_);
  master_ = master;
  slave_ = slave;
  echo_ = true;  // a modem starts with its stored profile
  in_pdu_ = false;
  input_.clear();
  cnmi_set_ = unlocked_ = false;
  ready_at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.not_ready_ms);
}

void ModemSim::Restart(const std::string& banner) {
  std::lock_guard lock(mutex_);
  echo_ = true;
  in_pdu_ = false;
  input_.clear();
  cnmi_set_ = false;
  ready_at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.not_ready_ms);
  Write("\r\n" + banner + "\r\n");
}

// Called holding mutex_.
bool ModemSim::NotReady() const { return std::chrono::steady_clock::now() < ready_at_; }

void ModemSim::Close() {
  std::lock_guard lock(mutex_);
  std::error_code ignored;
  std::filesystem::remove(link_, ignored);
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
  master_ = slave_ = -1;
}

void ModemSim::Unplug() {
  Close();  // the device of the open link is gone at once: reads there fail
}

void ModemSim::Replug() {
  Plug();
  (void)!write(wake_[1], "x", 1);
}

void ModemSim::Write(const std::string& bytes) {
  // Called holding mutex_, so every answer and indication is written whole.
  size_t done = 0;
  for (int spins = 0; done < bytes.size() && master_ >= 0 && spins < 1000; ++spins) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else {
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
}

void ModemSim::Answer(const std::string& body, const std::string& final_result) {
  std::string out = body;
  for (const std::string& line : inject_) out += "\r\n" + line + "\r\n";
  inject_.clear();
  Write(out + "\r\n" + final_result + "\r\n");
}

void ModemSim::Run() {
  char buffer[512];
  for (;;) {
    int master;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      master = master_;
    }
    pollfd p[2] = {{wake_[0], POLLIN, 0}, {master, POLLIN, 0}};
    int n = poll(p, master >= 0 ? 2 : 1, 200);
    if (n <= 0) continue;
    if (p[0].revents & POLLIN) {
      while (read(wake_[0], buffer, sizeof buffer) > 0) {
      }
      continue;
    }
    if (!(p[1].revents & POLLIN)) continue;
    std::unique_lock lock(mutex_);
    if (master_ != master) continue;  // unplugged meanwhile
    ssize_t got = read(master_, buffer, sizeof buffer);
    if (got <= 0) continue;
    if (options_.silent) continue;
    for (ssize_t i = 0; i < got; ++i) {
      char c = buffer[i];
      if (in_pdu_) {
        if (c == 0x1A) {
          in_pdu_ = false;
          std::string hex;
          hex.swap(input_);
          lock.unlock();
          Submit(hex);
          lock.lock();
        } else if (c == 0x1B) {
          in_pdu_ = false;
          input_.clear();
          Answer("");
        } else if (c != '\r' && c != '\n') {
          input_.push_back(c);
        }
        if (echo_) Write(std::string(1, c));
        continue;
      }
      if (echo_) Write(std::string(1, c));
      if (c == '\r') {
        std::string line;
        line.swap(input_);
        Command(line);
      } else if (c != '\n' && c != 0x1B && input_.size() < 1024) {
        input_.push_back(c);
      }
    }
  }
}

// Called holding mutex_.
void ModemSim::Command(std::string line) {
  std::string up = Upper(line);
  if (up.empty()) return;
  commands_.push_back(line);
  changed_.notify_all();
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
  } else if (is("+CNMI=") && options_.refuse_cnmi) {
    Answer("", "+CMS ERROR: 303");
  } else if (c == "+CMGF?") {
    Answer("\r\n+CMGF: 0\r\n");
  } else if (is("+CPIN=")) {
    ++pin_attempts_;
    std::string pin = line.substr(std::string("AT+CPIN=").size());
    pin.erase(std::remove(pin.begin(), pin.end(), '"'), pin.end());
    unlocked_ = unlocked_ || pin == options_.pin;
    Answer("", pin == options_.pin ? "OK" : "+CME ERROR: 16");
  } else if (c.empty() || c == "Z" || is("+CMEE=") || is("+CSCA=") || is("+CNMI=") || is("&F") || is("V1") ||
             is("Q0") || is("+CSMS=") || is("+CMGF=0") || is("S0=") || is("+CLIP") || is("+CSCS=")) {
    if (is("+CNMI=")) cnmi_set_ = true;
    if (c == "Z") echo_ = true;
    Answer("");
  } else if (c == "E0" || c == "E1") {
    echo_ = c == "E1";
    Answer("");
  } else if (c == "+CPIN?") {
    Answer(!options_.pin.empty() && !unlocked_ ? "\r\n+CPIN: SIM PIN\r\n"
                                               : "\r\n+CPIN: " + options_.cpin_ready + "\r\n");
  } else if (c == "+CSCA?") {
    Answer("\r\n+CSCA: \"+27381000015\",145\r\n");
  } else if (c == "+CSMS?") {
    Answer(std::string("\r\n+CSMS: ") + (options_.acknowledge ? "1" : "0") + ",1,1,1\r\n");
  } else if (c == "+CNMI?") {
    Answer("\r\n+CNMI: 2,1,0,1,0\r\n");
  } else if (c == "+CNMA") {
    ++acknowledgements_;
    Answer("");
  } else if (is("+CPMS")) {
    std::string used = std::to_string(store_.size());
    if (c == "+CPMS?")
      Answer("\r\n+CPMS: \"SM\"," + used + ",30,\"SM\"," + used + ",30,\"SM\"," + used + ",30\r\n");
    else if (c.find("\"SM\"") != std::string::npos || c.find("\"SR\"") != std::string::npos)
      Answer("\r\n+CPMS: " + used + ",30," + used + ",30," + used + ",30\r\n");
    else
      Answer("", "+CMS ERROR: 302");
  } else if (c == "+CSQ") {
    Answer("\r\n+CSQ: 21,99\r\n");
  } else if (c == "+CREG?" || c == "+CEREG?") {
    Answer("\r\n" + c.substr(0, c.size() - 1) + ": 0," + std::to_string(registration_) + "\r\n");
  } else if (c == "+COPS?") {
    Answer("\r\n+COPS: 0,0,\"Simulated\"\r\n");
  } else if (c == "I" || c == "+CGMI" || c == "+CGMM" || c == "+CGMR") {
    Answer("\r\nTalvenix modem simulator\r\n");
  } else if (c == "+CGSN" || c == "+CIMI") {
    Answer("\r\n001010123456789\r\n");
  } else if (is("+CMGS=")) {
    pdu_length_ = static_cast<size_t>(std::atoi(arg("+CMGS=").c_str()));
    in_pdu_ = true;
    input_.clear();
    if (options_.stale_ok) Write("\r\nOK\r\n");
    Write("\r\n" + options_.prompt);
  } else if (is("+CMGR=")) {
    auto it = store_.find(std::atoi(arg("+CMGR=").c_str()));
    if (fail_reads_ > 0) {
      --fail_reads_;
      Answer("", "+CMS ERROR: " + std::to_string(fail_read_code_));
    } else if (it == store_.end()) {
      Answer("", "+CMS ERROR: 321");
    } else {
      size_t length = it->second.size() / 2 - 1 - std::stoul(it->second.substr(0, 2), nullptr, 16);
      Answer("\r\n+CMGR: 0,," + std::to_string(length) + "\r\n" + AmidRead() + it->second + "\r\n");
    }
  } else if (is("+CMGD=")) {
    std::string a = arg("+CMGD=");
    size_t comma = a.find(',');
    if (comma != std::string::npos && std::atoi(a.c_str() + comma + 1) == 4)
      store_.clear();
    else
      store_.erase(std::atoi(a.c_str()));
    changed_.notify_all();
    Answer("");
  } else if (is("+CMGL")) {
    std::string body;
    for (auto& [index, pdu] : store_) {
      size_t length = pdu.size() / 2 - 1 - std::stoul(pdu.substr(0, 2), nullptr, 16);
      body += "\r\n+CMGL: " + std::to_string(index) + ",0,," + std::to_string(length) + "\r\n" + AmidRead() + pdu;
    }
    Answer(body.empty() ? "" : body + "\r\n");
  } else {
    Answer("", "ERROR");
  }
}

std::string ModemSim::AmidRead() const { return options_.amid_reads.empty() ? "" : options_.amid_reads + "\r\n"; }

void ModemSim::Submit(const std::string& hex) {
  std::unique_lock lock(mutex_);
  uint32_t delay = submit_delay_ms_;
  if (late_percent_ > 0 && static_cast<int>(random_() % 100) < late_percent_)
    delay = late_min_ms_ + static_cast<uint32_t>(random_() % (late_max_ms_ - late_min_ms_ + 1));
  if (delay > 0) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay);
    changed_.wait_until(lock, until, [this] { return stopping_ || master_ < 0; });
    if (stopping_ || master_ < 0) return;
  }
  at::DecodeResult r = at::DecodePdu(hex, true, true);
  size_t smsc_octets = hex.size() >= 2 ? 1 + std::stoul(hex.substr(0, 2), nullptr, 16) : 0;
  if (!r.message || hex.size() / 2 != smsc_octets + pdu_length_) {
    Answer("", "+CMS ERROR: 304");
    return;
  }
  if (fail_submits_ > 0) {
    --fail_submits_;
    Answer("", "+CMS ERROR: " + std::to_string(fail_code_));
    return;
  }
  uint8_t reference = next_reference_++;
  submitted_.push_back({hex, std::get<at::Submit>(*r.message), reference});
  changed_.notify_all();
  Answer("\r\n+CMGS: " + std::to_string(reference) + "\r\n");
}

std::string ModemSim::StoreLocked(const std::string& pdu, int& index) {
  index = 1;
  while (store_.count(index)) ++index;
  store_[index] = pdu;
  return pdu;
}

int ModemSim::Store(const std::string& pdu) {
  std::lock_guard lock(mutex_);
  int index;
  StoreLocked(pdu, index);
  return index;
}

void ModemSim::DeliverStored(const std::string& pdu) {
  std::lock_guard lock(mutex_);
  int index;
  StoreLocked(pdu, index);
  if (cnmi_set_) Write("\r\n+CMTI: \"SM\"," + std::to_string(index) + "\r\n");
}

void ModemSim::DeliverDirect(const std::string& pdu) {
  std::lock_guard lock(mutex_);
  size_t length = pdu.size() / 2 - 1 - std::stoul(pdu.substr(0, 2), nullptr, 16);
  Write("\r\n+CMT: ," + std::to_string(length) + "\r\n" + pdu + "\r\n");
}

void ModemSim::ReportStatus(uint8_t reference, uint8_t status, bool stored) {
  std::lock_guard lock(mutex_);
  std::string recipient = "+15550100";
  for (const Submitted& s : submitted_)
    if (s.reference == reference) recipient = s.pdu.recipient.text;
  std::string tpdu = "06" + Hex2(reference) + AddressField(recipient) + kTimestamp + kTimestamp + Hex2(status);
  std::string pdu = kSmsc + tpdu;
  if (stored) {
    int index;
    StoreLocked(pdu, index);
    Write("\r\n+CDSI: \"SM\"," + std::to_string(index) + "\r\n");
  } else {
    Write("\r\n+CDS: " + std::to_string(tpdu.size() / 2) + "\r\n" + pdu + "\r\n");
  }
}

void ModemSim::InjectIntoNextAnswer(const std::string& line) {
  std::lock_guard lock(mutex_);
  inject_.push_back(line);
}

void ModemSim::FailSubmits(int count, int code) {
  std::lock_guard lock(mutex_);
  fail_submits_ = count;
  fail_code_ = code;
}

void ModemSim::SetSubmitDelay(uint32_t ms) {
  std::lock_guard lock(mutex_);
  submit_delay_ms_ = ms;
}

void ModemSim::SetLateSubmits(int percent, uint32_t min_ms, uint32_t max_ms, unsigned seed) {
  std::lock_guard lock(mutex_);
  late_percent_ = percent;
  late_min_ms_ = min_ms;
  late_max_ms_ = std::max(min_ms, max_ms);
  random_.seed(seed);
}

void ModemSim::FailReads(int count, int code) {
  std::lock_guard lock(mutex_);
  fail_reads_ = count;
  fail_read_code_ = code;
}

void ModemSim::SetRegistration(int stat) {
  std::lock_guard lock(mutex_);
  registration_ = stat;
}

int ModemSim::pin_attempts() {
  std::lock_guard lock(mutex_);
  return pin_attempts_;
}

bool ModemSim::WaitSubmitted(size_t count, int timeout_ms) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return submitted_.size() >= count; });
}

bool ModemSim::WaitCommand(const std::string& command, int timeout_ms) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return std::any_of(commands_.begin(), commands_.end(),
                       [&](const std::string& c) { return c.rfind(command, 0) == 0; });
  });
}

std::vector<ModemSim::Submitted> ModemSim::submitted() {
  std::lock_guard lock(mutex_);
  return submitted_;
}

std::vector<std::string> ModemSim::commands() {
  std::lock_guard lock(mutex_);
  return commands_;
}

size_t ModemSim::stored_count() {
  std::lock_guard lock(mutex_);
  return store_.size();
}

int ModemSim::acknowledgements() {
  std::lock_guard lock(mutex_);
  return acknowledgements_;
}

std::string ModemSim::DeliverPdu(const std::string& originator, const std::u16string& text, at::Concat concat,
                                 bool ucs2) {
  std::vector<uint8_t> header;
  if (concat.total > 0)
    header = {0x05, 0x00, 0x03, static_cast<uint8_t>(concat.reference), concat.total, concat.sequence};
  std::string ud;
  unsigned udl;
  if (ucs2) {
    std::vector<uint8_t> bytes = header;
    for (char16_t c : text) {
      bytes.push_back(static_cast<uint8_t>(c >> 8));
      bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    }
    udl = static_cast<unsigned>(bytes.size());
    ud = at::ToHex(bytes);
  } else {
    std::vector<uint8_t> septets;
    at::ToGsm7(text, septets, true);
    size_t header_septets = (header.size() * 8 + 6) / 7;
    std::vector<uint8_t> packed = at::PackSeptets(septets, static_cast<int>(header_septets * 7 - header.size() * 8));
    udl = static_cast<unsigned>(header_septets + septets.size());
    ud = at::ToHex(header) + at::ToHex(packed);
  }
  std::string first = concat.total > 0 ? "44" : "04";
  bool alpha = !originator.empty() && !std::isdigit(static_cast<unsigned char>(originator[0])) && originator[0] != '+';
  std::string address;
  if (alpha) {
    std::vector<uint8_t> septets;
    at::ToGsm7(std::u16string(originator.begin(), originator.end()), septets, true);
    std::vector<uint8_t> packed = at::PackSeptets(septets);
    address = Hex2(static_cast<unsigned>((septets.size() * 7 + 3) / 4)) + "D0" + at::ToHex(packed);
  } else {
    address = AddressField(originator);
  }
  return kSmsc + first + address + "00" + (ucs2 ? "08" : "00") + kTimestamp + Hex2(udl) + ud;
}

}  // namespace talvenix::testing
