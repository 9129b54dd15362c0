// SPDX-License-Identifier: Apache-2.0
// The raw server of hand-written answers, on POSIX sockets.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "common/free_port.hpp"
#include "soap_peer.hpp"

namespace talvenix::testing {

RawAnswerPeer::RawAnswerPeer(std::string answer) : answer_(std::move(answer)) {
  listener_ = ListenOnLoopback(port_, 16);
  thread_ = std::thread(&RawAnswerPeer::Run, this);
}

RawAnswerPeer::~RawAnswerPeer() {
  stop_ = true;
  thread_.join();
  close(listener_);
}

void RawAnswerPeer::SetAnswer(std::string answer) {
  std::lock_guard lock(mutex_);
  answer_ = std::move(answer);
}

std::vector<std::string> RawAnswerPeer::requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

void RawAnswerPeer::Run() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int c = accept(listener_, nullptr, nullptr);
    if (c < 0) continue;
    // Reads the header and the body its Content-Length announces.
    std::string request;
    char buffer[4096];
    for (int rounds = 0; rounds < 200; ++rounds) {
      pollfd q{c, POLLIN, 0};
      if (poll(&q, 1, 20) <= 0) {
        size_t end = request.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        size_t at = request.find("Content-Length: ");
        size_t need = at == std::string::npos ? 0 : std::strtoul(request.c_str() + at + 16, nullptr, 10);
        if (request.size() >= end + 4 + need) break;
        continue;
      }
      ssize_t n = recv(c, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<size_t>(n));
    }
    std::string answer;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
      answer = answer_;
    }
    (void)!send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
    close(c);
  }
}

}  // namespace talvenix::testing
