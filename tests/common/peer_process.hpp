// SPDX-License-Identifier: Apache-2.0
#pragma once
// A peer program started by a test: its standard input stays open for the
// peer's lifetime (a peer exits when it closes, so it never outlives a test
// that dies), and its first line of output is read with a time limit.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace talvenix::testing {

class PeerProcess {
 public:
  // Starts argv[0] (a full path) with the arguments; throws when it cannot.
  explicit PeerProcess(const std::vector<std::string>& argv) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    if (rc != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + argv[0]);
    }
  }
  ~PeerProcess() { Stop(); }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // The next line the peer prints, without its line feed; empty when none
  // arrives within the limit or the peer ended.
  std::string ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
      size_t eol = pending_.find('\n');
      if (eol != std::string::npos) {
        std::string line = pending_.substr(0, eol);
        pending_.erase(0, eol + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return {};
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[512];
      ssize_t n = read(stdout_, buffer, sizeof buffer);
      if (n <= 0) return {};
      pending_.append(buffer, static_cast<size_t>(n));
    }
  }

  // Closes the peer's input and waits for it to end (killing it after 5 s).
  void Stop() {
    if (stdin_ >= 0) close(stdin_);
    if (stdout_ >= 0) close(stdout_);
    stdin_ = stdout_ = -1;
    if (pid_ <= 0) return;
    for (int i = 0; i < 500; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
  std::string pending_;
};

}  // namespace talvenix::testing
