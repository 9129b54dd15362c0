// SPDX-License-Identifier: Apache-2.0
// Runs modem simulators for a test program that cannot open a pseudo-terminal
// (the Windows tests under Wine): each simulator's pseudo-terminal is linked
// as <dosdevices>/com<n> of the Wine prefix, so the program opens it as COMn,
// and the program drives it over a loopback TCP connection
// (modem_sim_wire.hpp). The simulators of a connection end with it. It also
// reads PDUs back with gammu for the program ("gammu").
//
// Usage: modem_sim_server DOSDEVICES_FOLDER PORT_FILE
// The listening port is written to PORT_FILE once the server accepts.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "drivers/at/gammu_pdu.hpp"
#include "drivers/at/modem_sim.hpp"
#include "drivers/at/modem_sim_wire.hpp"

namespace talvenix::testing {
namespace {

struct Bad {
  std::string why;
};

int Number(const std::vector<std::string>& words, size_t i) {
  if (i >= words.size()) throw Bad{"missing argument " + std::to_string(i)};
  return std::atoi(words[i].c_str());
}
std::string TextAt(const std::vector<std::string>& words, size_t i) {
  if (i >= words.size() || words[i].empty() || words[i][0] != 'x') throw Bad{"missing text " + std::to_string(i)};
  return wire::FromText(words[i]);
}

class Session {
 public:
  explicit Session(std::string dosdevices) : dosdevices_(std::move(dosdevices)) {}

  // The answer line to one request line.
  std::string Handle(const std::string& line) {
    std::vector<std::string> w = wire::Words(line);
    if (w.empty()) throw Bad{"empty request"};
    const std::string& verb = w[0];
    if (verb == "new") {
      ModemSim::Options o;
      o.pin = TextAt(w, 2);
      o.cpin_ready = TextAt(w, 3);
      o.acknowledge = Number(w, 4);
      o.silent = Number(w, 5);
      o.refuse_cnmi = Number(w, 6);
      o.not_ready_ms = static_cast<uint32_t>(Number(w, 7));
      o.amid_reads = TextAt(w, 8);
      o.stale_ok = Number(w, 9);
      o.prompt = TextAt(w, 10);
      int id = next_id_++;
      std::string link = dosdevices_ + "/com" + std::to_string(Number(w, 1));
      sims_[id] = std::make_unique<ModemSim>(link, o);
      return std::to_string(id);
    }
    if (verb == "gammu") return wire::Text(GammuPduJson(TextAt(w, 1)));
    auto found = sims_.find(Number(w, 1));
    if (found == sims_.end()) throw Bad{"no simulator " + w[1]};
    ModemSim& sim = *found->second;
    auto flag = [](bool b) { return std::string(b ? "1" : "0"); };
    if (verb == "delete") {
      sims_.erase(found);
    } else if (verb == "fail_submits") {
      sim.FailSubmits(Number(w, 2), Number(w, 3));
    } else if (verb == "submit_delay") {
      sim.SetSubmitDelay(static_cast<uint32_t>(Number(w, 2)));
    } else if (verb == "answer_submits_later") {
      std::vector<uint32_t> delays;
      for (size_t i = 2; i < w.size(); ++i) delays.push_back(static_cast<uint32_t>(Number(w, i)));
      sim.AnswerSubmitsLater(delays);
    } else if (verb == "late_submits") {
      sim.SetLateSubmits(Number(w, 2), static_cast<uint32_t>(Number(w, 3)), static_cast<uint32_t>(Number(w, 4)),
                         static_cast<unsigned>(Number(w, 5)));
    } else if (verb == "fail_reads") {
      sim.FailReads(Number(w, 2), Number(w, 3));
    } else if (verb == "registration") {
      sim.SetRegistration(Number(w, 2));
    } else if (verb == "restart") {
      sim.Restart(TextAt(w, 2));
    } else if (verb == "store") {
      return std::to_string(sim.Store(TextAt(w, 2)));
    } else if (verb == "deliver_stored") {
      sim.DeliverStored(TextAt(w, 2));
    } else if (verb == "deliver_direct") {
      sim.DeliverDirect(TextAt(w, 2));
    } else if (verb == "report_status") {
      sim.ReportStatus(static_cast<uint8_t>(Number(w, 2)), static_cast<uint8_t>(Number(w, 3)), Number(w, 4));
    } else if (verb == "inject") {
      sim.InjectIntoNextAnswer(TextAt(w, 2));
    } else if (verb == "unplug") {
      sim.Unplug();
    } else if (verb == "replug") {
      sim.Replug();
    } else if (verb == "wait_submitted") {
      return flag(sim.WaitSubmitted(static_cast<size_t>(Number(w, 2)), Number(w, 3)));
    } else if (verb == "wait_command") {
      return flag(sim.WaitCommand(TextAt(w, 2), Number(w, 3)));
    } else if (verb == "submitted") {
      std::string out = "list";
      for (const ModemSim::Submitted& s : sim.submitted())
        out += " " + wire::Text(s.hex) + " " + std::to_string(s.reference);
      return out;
    } else if (verb == "commands") {
      std::string out = "list";
      for (const std::string& c : sim.commands()) out += " " + wire::Text(c);
      return out;
    } else if (verb == "stored_count") {
      return std::to_string(sim.stored_count());
    } else if (verb == "acknowledgements") {
      return std::to_string(sim.acknowledgements());
    } else if (verb == "pin_attempts") {
      return std::to_string(sim.pin_attempts());
    } else {
      throw Bad{"unknown verb " + verb};
    }
    return "ok";
  }

 private:
  std::string dosdevices_;
  std::map<int, std::unique_ptr<ModemSim>> sims_;
  int next_id_ = 1;
};

void Serve(int connection, const std::string& dosdevices) {
  int one = 1;
  setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  Session session(dosdevices);
  std::string input;
  char buffer[4096];
  for (;;) {
    size_t end;
    while ((end = input.find('\n')) == std::string::npos) {
      ssize_t n = read(connection, buffer, sizeof buffer);
      if (n <= 0) {
        close(connection);
        return;  // the program ended: its simulators go with the session
      }
      input.append(buffer, static_cast<size_t>(n));
    }
    std::string line = input.substr(0, end);
    input.erase(0, end + 1);
    std::string answer;
    try {
      answer = session.Handle(line);
    } catch (const Bad& bad) {
      answer = "error " + bad.why;
      fprintf(stderr, "modem_sim_server: %s: %s\n", line.substr(0, 80).c_str(), bad.why.c_str());
    }
    answer += "\n";
    for (size_t done = 0; done < answer.size();) {
      ssize_t n = write(connection, answer.data() + done, answer.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
}

}  // namespace
}  // namespace talvenix::testing

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: modem_sim_server DOSDEVICES_FOLDER PORT_FILE\n");
    return 2;
  }
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener, 8) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    perror("modem_sim_server");
    return 1;
  }
  std::string port_file = argv[2];
  std::ofstream(port_file + ".new") << ntohs(address.sin_port) << "\n";
  std::filesystem::rename(port_file + ".new", port_file);
  for (;;) {
    int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    std::thread(talvenix::testing::Serve, connection, std::string(argv[1])).detach();
  }
}
