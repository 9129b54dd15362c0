// SPDX-License-Identifier: Apache-2.0
// The iSMS device simulator as a program, for trying the gateway without a
// device: point "[ipaddress]" at 127.0.0.1 and "[port]" at its port.
//   isms-device-sim [--port N] [--user U] [--password P] [--states S,S,...]
//                   [--incoming-every SECONDS]
// Runs until interrupted; prints every request it answers (passwords masked).

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "peers/isms_device_sim.hpp"

namespace {

volatile sig_atomic_t stop_requested = 0;
void OnSignal(int) { stop_requested = 1; }

std::string Masked(std::string target) {
  size_t at = target.find("passwd=");
  if (at == std::string::npos) return target;
  at += 7;
  size_t end = target.find('&', at);
  return target.replace(at, (end == std::string::npos ? target.size() : end) - at, "****");
}

int Usage() {
  std::fprintf(stderr,
               "usage: isms-device-sim [--port N] [--user U] [--password P] [--states S,S,...]\n"
               "                       [--incoming-every SECONDS]\n"
               "  --port            port on 127.0.0.1 (default 81; ports below 1024 need privileges)\n"
               "  --states          states each message's queries answer in turn (default 0: sent)\n"
               "  --incoming-every  a received message appears in the inbox this often\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 81;
  std::string user = "admin", password = "admin", states = "0";
  int incoming_every = 0;
  for (int i = 1; i < argc; ++i) {
    auto value = [&](const char* name) -> const char* {
      if (std::strcmp(argv[i], name) != 0 || i + 1 >= argc) return nullptr;
      return argv[++i];
    };
    if (const char* v = value("--port")) {
      port = std::atoi(v);
    } else if (const char* v = value("--user")) {
      user = v;
    } else if (const char* v = value("--password")) {
      password = v;
    } else if (const char* v = value("--states")) {
      states = v;
    } else if (const char* v = value("--incoming-every")) {
      incoming_every = std::atoi(v);
    } else {
      return Usage();
    }
  }
  if (port <= 0 || port > 65535) return Usage();

  talvenix::peers::IsmsDeviceSim device(user, password);
  std::vector<std::string> sequence;
  for (size_t start = 0; start <= states.size();) {
    size_t end = states.find(',', start);
    if (end == std::string::npos) end = states.size();
    sequence.push_back(states.substr(start, end - start));
    start = end + 1;
  }
  device.SetStates(sequence);
  if (!device.Start(port)) {
    std::fprintf(stderr, "isms-device-sim: cannot listen on 127.0.0.1:%d (in use, or a privileged port)\n", port);
    return 1;
  }
  std::printf("iSMS device simulator on 127.0.0.1:%d, user %s; Ctrl-C stops it\n", device.port(), user.c_str());
  std::fflush(stdout);
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);

  size_t shown = 0;
  auto next_incoming = std::chrono::steady_clock::now() + std::chrono::seconds(incoming_every);
  int incoming = 0;
  while (!stop_requested) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto requests = device.Requests();
    for (; shown < requests.size(); ++shown) std::printf("%s\n", Masked(requests[shown]).c_str());
    if (incoming_every > 0 && std::chrono::steady_clock::now() >= next_incoming) {
      device.AddInbox(talvenix::peers::InboxMessage::Ascii("+15550002", "Hello " + std::to_string(++incoming)));
      next_incoming += std::chrono::seconds(incoming_every);
    }
    std::fflush(stdout);
  }
  device.Stop();
  return 0;
}
