// SPDX-License-Identifier: Apache-2.0
#pragma once
// A loopback server that misbehaves on purpose: it accepts connections and
// then does one scripted thing with each (never answer, answer part of a
// body and close, drop a kept connection after a request). Connections are
// served one after the other. Stops by itself when destroyed.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/free_port.hpp"

namespace talvenix::testing {

class RawPeer {
 public:
  // `serve` gets each accepted socket and may keep it open; the peer closes it.
  explicit RawPeer(std::function<void(int)> serve) : serve_(std::move(serve)) {
    listener_ = ListenOnLoopback(port_, 8);
    thread_ = std::thread([this] { Run(); });
  }
  ~RawPeer() {
    stop_ = true;
    thread_.join();
    for (int s : accepted_) close(s);
    close(listener_);
  }
  int port() const { return port_; }
  std::string url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  // Reads the request head, so an answer follows a complete request; empty
  // when the client closed first.
  static std::string ReadRequest(int s) {
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && recv(s, &c, 1, 0) == 1) head += c;
    return head.find("\r\n\r\n") == std::string::npos ? std::string() : head;
  }
  // A complete answer with this body, the connection kept open.
  static void Answer(int s, const std::string& body) {
    Send(s, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  }
  static void Send(int s, const std::string& text) { send(s, text.data(), text.size(), MSG_NOSIGNAL); }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int s = accept(listener_, nullptr, nullptr);
      if (s < 0) continue;
      int on = 1;  // answers go out at once, not after the client's delayed acknowledgement
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      accepted_.push_back(s);
      serve_(s);
    }
  }

  std::function<void(int)> serve_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::vector<int> accepted_;
  std::thread thread_;
};

}  // namespace talvenix::testing
