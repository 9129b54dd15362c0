// SPDX-License-Identifier: Apache-2.0
#pragma once
// tinyproxy as a real forward proxy on a free loopback port, optionally with
// Basic authentication. Its configuration goes into a temporary folder; it
// runs in the foreground as a child of the test and is stopped by its pid.

#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/free_port.hpp"
#include "common/temp_folder.hpp"

namespace talvenix::testing {

inline bool Accepts(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

class TinyProxy {
 public:
  // Empty user: no authentication.
  explicit TinyProxy(const std::string& user = {}, const std::string& password = {}) {
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) TryStart(user, password);
    if (pid_ <= 0) throw std::runtime_error("tinyproxy did not start");
  }
  ~TinyProxy() { Stop(); }

  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  // The proxy's log: one line per connection it served.
  std::string log() const { return folder_.Read("tinyproxy.log"); }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  void TryStart(const std::string& user, const std::string& password) {
    port_ = FreeLoopbackPort();
    std::string config = "Port " + std::to_string(port_) +
                         "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nLogLevel Info\nLogFile \"" +
                         (folder_.path() / "tinyproxy.log").string() + "\"\nPidFile \"" +
                         (folder_.path() / "tinyproxy.pid").string() + "\"\n";
    if (!user.empty()) config += "BasicAuth " + user + " " + password + "\n";
    folder_.Write("tinyproxy.conf", config);
    std::string conf = (folder_.path() / "tinyproxy.conf").string();
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives a test that was killed
      execlp("tinyproxy", "tinyproxy", "-d", "-c", conf.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    if (pid < 0) return;
    for (int i = 0; i < 200; ++i) {
      if (Accepts(port_)) {
        pid_ = pid;
        return;
      }
      if (waitpid(pid, nullptr, WNOHANG) == pid) return;  // exited: the port was taken
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }

  TempFolder folder_{"tinyproxy-" + std::to_string(reinterpret_cast<uintptr_t>(this))};
  int port_ = -1;
  pid_t pid_ = -1;
};

}  // namespace talvenix::testing
