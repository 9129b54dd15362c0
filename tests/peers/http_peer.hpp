// SPDX-License-Identifier: Apache-2.0
#pragma once
// A real HTTP or HTTPS server on a free loopback port (cpp-httplib), playing
// a provider's or device's web API. Every request is recorded with its exact
// target (path and query as sent); the answer comes from a handler the test
// sets. Stops and joins its thread when destroyed.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace talvenix::testing {

struct RecordedRequest {
  std::string method;
  std::string target;  // path and query exactly as received
  std::string path;
  httplib::Params params;  // the query's values, decoded
  httplib::Headers headers;
};

class HttpPeer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  // Plain HTTP.
  HttpPeer() : server_(std::make_unique<httplib::Server>()) { Start(); }
  // HTTPS with the given certificate and key.
  HttpPeer(const std::string& cert, const std::string& key)
      : server_(std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str())) {
    Start();
  }
  ~HttpPeer() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
  }

  int port() const { return port_; }
  std::string base(bool https = false) const {
    return std::string(https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
  }
  // Answers every later request; the default answers 200 "ID: 1".
  void Answer(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }
  void Answer(int status, const std::string& body, const std::string& type = "text/plain") {
    Answer([=](const httplib::Request&, httplib::Response& r) {
      r.status = status;
      r.set_content(body, type.c_str());
    });
  }
  // Answers "ID: 1" after `delay`, as a provider far away does, noting the
  // most requests it held at once.
  void AnswerAfter(std::chrono::milliseconds delay) {
    Answer([this, delay](const httplib::Request&, httplib::Response& r) {
      const int now = ++at_once_;
      for (int seen = most_at_once_; now > seen && !most_at_once_.compare_exchange_weak(seen, now);) {
      }
      std::this_thread::sleep_for(delay);
      --at_once_;
      r.set_content("ID: 1", "text/plain");
    });
  }
  int most_at_once() const { return most_at_once_; }
  void ForgetMostAtOnce() { most_at_once_ = 0; }
  std::vector<RecordedRequest> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  size_t request_count() {
    std::lock_guard lock(mutex_);
    return requests_.size();
  }
  // Client connections seen so far, told apart by their ports (keep-alive reuses one).
  size_t connections() {
    std::lock_guard lock(mutex_);
    return client_ports_.size();
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    requests_.clear();
  }
  httplib::Server& server() { return *server_; }

 private:
  void Start() {
    server_->set_keep_alive_max_count(100000);
    // Answers go out at once: held back for the client's delayed
    // acknowledgement, each would cost about 40 ms.
    server_->set_tcp_nodelay(true);
    server_->set_keep_alive_timeout(2);  // short, so stopping never waits long for an idle client
    server_->set_read_timeout(30);
    server_->set_write_timeout(30);
    server_->Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
      Handler handler;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back({req.method, req.target, req.path, req.params, req.headers});
        client_ports_.insert(req.remote_port);
        handler = handler_;
      }
      handler(req, res);
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the test server could not bind a port");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    for (int i = 0; i < 500 && !server_->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  Handler handler_ = [](const httplib::Request&, httplib::Response& r) { r.set_content("ID: 1", "text/plain"); };
  std::vector<RecordedRequest> requests_;
  std::set<int> client_ports_;
  std::atomic<int> at_once_{0}, most_at_once_{0};
};

}  // namespace talvenix::testing
