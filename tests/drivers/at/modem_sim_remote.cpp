// SPDX-License-Identifier: Apache-2.0
// ModemSim for programs that cannot open a pseudo-terminal (Windows under
// Wine): every call goes to modem_sim_server, which runs the simulator beside
// the program and links its pseudo-terminal as the Wine prefix's COM port.
// The server's port comes from TALVENIX_TEST_MODEM_SIM_PORT (set by the
// harness); one connection serves every simulator of the program.

#include <winsock2.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "drivers/at/gammu_pdu.hpp"
#include "drivers/at/modem_sim.hpp"
#include "drivers/at/modem_sim_wire.hpp"

namespace talvenix::testing {
namespace {

class Connection {
 public:
  // The answer's words to one request; a lost server or an error answer throws.
  std::vector<std::string> Call(const std::string& request) {
    std::lock_guard lock(mutex_);
    if (socket_ == INVALID_SOCKET) Connect();
    std::string out = request + "\n";
    for (size_t done = 0; done < out.size();) {
      int n = send(socket_, out.data() + done, static_cast<int>(out.size() - done), 0);
      if (n <= 0) throw std::runtime_error("modem_sim_server: connection lost");
      done += static_cast<size_t>(n);
    }
    size_t end;
    char buffer[4096];
    while ((end = input_.find('\n')) == std::string::npos) {
      int n = recv(socket_, buffer, sizeof buffer, 0);
      if (n <= 0) throw std::runtime_error("modem_sim_server: connection lost");
      input_.append(buffer, static_cast<size_t>(n));
    }
    std::string line = input_.substr(0, end);
    input_.erase(0, end + 1);
    if (line.rfind("error ", 0) == 0) throw std::runtime_error("modem_sim_server: " + line + " (" + request + ")");
    return wire::Words(line);
  }

 private:
  void Connect() {
    const char* port = std::getenv("TALVENIX_TEST_MODEM_SIM_PORT");
    if (!port) throw std::runtime_error("TALVENIX_TEST_MODEM_SIM_PORT is not set: run through the harness");
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error(std::string("modem_sim_server: cannot connect to port ") + port);
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    socket_ = s;
  }

  std::mutex mutex_;
  SOCKET socket_ = INVALID_SOCKET;
  std::string input_;
};

Connection& Server() {
  static Connection connection;
  return connection;
}

std::string Flag(bool b) { return b ? "1" : "0"; }

// "\\.\COM103" or "COM103": 103.
std::string PortNumber(const std::string& link) {
  size_t digits = link.find_last_not_of("0123456789") + 1;
  if (digits == link.size()) throw std::invalid_argument("not a COM port: " + link);
  return link.substr(digits);
}

}  // namespace

struct ModemSim::State {
  std::string id;
  std::string Call(const std::string& verb, const std::string& arguments = "") {
    std::vector<std::string> words = Server().Call(verb + " " + id + (arguments.empty() ? "" : " " + arguments));
    return words.empty() ? "" : words[0];
  }
  std::vector<std::string> List(const std::string& verb) {
    std::vector<std::string> words = Server().Call(verb + " " + id);
    words.erase(words.begin());  // "list"
    return words;
  }
};

ModemSim::ModemSim(std::string link, Options o) : link_(std::move(link)), s_(std::make_unique<State>()) {
  std::vector<std::string> words = Server().Call(
      "new " + PortNumber(link_) + " " + wire::Text(o.pin) + " " + wire::Text(o.cpin_ready) + " " +
      Flag(o.acknowledge) + " " + Flag(o.silent) + " " + Flag(o.refuse_cnmi) + " " + std::to_string(o.not_ready_ms) +
      " " + wire::Text(o.amid_reads) + " " + Flag(o.stale_ok) + " " + wire::Text(o.prompt));
  s_->id = words.at(0);
}

ModemSim::~ModemSim() {
  try {
    s_->Call("delete");
  } catch (const std::exception&) {
    // The server is gone; its simulators went with it.
  }
}

void ModemSim::FailSubmits(int count, int code) {
  s_->Call("fail_submits", std::to_string(count) + " " + std::to_string(code));
}
void ModemSim::SetSubmitDelay(uint32_t ms) { s_->Call("submit_delay", std::to_string(ms)); }
void ModemSim::AnswerSubmitsLater(const std::vector<uint32_t>& delays_ms) {
  std::string words;
  for (uint32_t ms : delays_ms) words += (words.empty() ? "" : " ") + std::to_string(ms);
  s_->Call("answer_submits_later", words);
}
void ModemSim::SetLateSubmits(int percent, uint32_t min_ms, uint32_t max_ms, unsigned seed) {
  s_->Call("late_submits", std::to_string(percent) + " " + std::to_string(min_ms) + " " + std::to_string(max_ms) + " " +
                               std::to_string(seed));
}
void ModemSim::FailReads(int count, int code) {
  s_->Call("fail_reads", std::to_string(count) + " " + std::to_string(code));
}
void ModemSim::SetRegistration(int stat) { s_->Call("registration", std::to_string(stat)); }
void ModemSim::Restart(const std::string& banner) { s_->Call("restart", wire::Text(banner)); }
int ModemSim::Store(const std::string& pdu) { return std::atoi(s_->Call("store", wire::Text(pdu)).c_str()); }
void ModemSim::DeliverStored(const std::string& pdu) { s_->Call("deliver_stored", wire::Text(pdu)); }
void ModemSim::DeliverDirect(const std::string& pdu) { s_->Call("deliver_direct", wire::Text(pdu)); }
void ModemSim::ReportStatus(uint8_t reference, uint8_t status, bool stored) {
  s_->Call("report_status", std::to_string(reference) + " " + std::to_string(status) + " " + Flag(stored));
}
void ModemSim::InjectIntoNextAnswer(const std::string& line) { s_->Call("inject", wire::Text(line)); }
void ModemSim::Unplug() { s_->Call("unplug"); }
void ModemSim::Replug() { s_->Call("replug"); }

bool ModemSim::WaitSubmitted(size_t count, int timeout_ms) {
  return s_->Call("wait_submitted", std::to_string(count) + " " + std::to_string(timeout_ms)) == "1";
}
bool ModemSim::WaitCommand(const std::string& prefix, int timeout_ms) {
  return s_->Call("wait_command", wire::Text(prefix) + " " + std::to_string(timeout_ms)) == "1";
}

std::vector<ModemSim::Submitted> ModemSim::submitted() {
  std::vector<std::string> words = s_->List("submitted");
  std::vector<Submitted> out;
  for (size_t i = 0; i + 1 < words.size(); i += 2) {
    Submitted s;
    s.hex = wire::FromText(words[i]);
    s.reference = static_cast<uint8_t>(std::atoi(words[i + 1].c_str()));
    // The simulator took only what decodes as an SMS-SUBMIT.
    s.pdu = std::get<at::Submit>(*at::DecodePdu(s.hex, true, true).message);
    out.push_back(std::move(s));
  }
  return out;
}
std::vector<std::string> ModemSim::commands() {
  std::vector<std::string> out;
  for (const std::string& w : s_->List("commands")) out.push_back(wire::FromText(w));
  return out;
}
size_t ModemSim::stored_count() { return std::strtoul(s_->Call("stored_count").c_str(), nullptr, 10); }
int ModemSim::acknowledgements() { return std::atoi(s_->Call("acknowledgements").c_str()); }
int ModemSim::pin_attempts() { return std::atoi(s_->Call("pin_attempts").c_str()); }

std::string GammuPduJson(const std::string& pdus) {
  return wire::FromText(Server().Call("gammu " + wire::Text(pdus)).at(0));
}

}  // namespace talvenix::testing
