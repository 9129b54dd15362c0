// SPDX-License-Identifier: Apache-2.0
#pragma once
// The daemon's HTTP/1.1 server, event-driven (Boost.Beast on Boost.Asio): a
// connection costs a socket and a few KiB, never a thread, so thousands of
// idle or slow clients cannot starve the others. Each request has one
// deadline for its head and body, each connection an idle time-out, and the
// connections are capped in all and per client address. A request's head is
// routed before any of its body is read, so a refusal (no key) costs no
// body; a body is counted as it arrives, chunked or not, and never
// decompressed. Answers run on a pool of workers (they may wait for the
// queue's disk), one request per connection at a time, first come first
// served, while the event threads go on reading and writing.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace talvenix::daemon {

struct HttpRequest {
  std::string method;  // "GET", "POST", ...
  std::string path;    // the target without its query
  std::string query;   // after '?', as sent
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // empty while the head is routed

  // The first header of that name (case-insensitive), or "".
  std::string Header(std::string_view name) const;
  // The query parameter of that name, percent- and '+'-decoded.
  std::optional<std::string> Param(std::string_view name) const;
};

// The parameter of that name in `form` (a query, or a body of
// application/x-www-form-urlencoded), percent- and '+'-decoded.
std::optional<std::string> FormParam(std::string_view form, std::string_view name);

struct HttpResponse {
  int status = 200;
  std::string content_type;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// A JSON answer {"error": why}, the shape of every refusal.
HttpResponse ErrorResponse(int status, const std::string& why);

struct HttpLimits {
  size_t head_bytes = 64 * 1024;  // request line and headers (a Kannel GET carries the text)
  size_t body_bytes = 64 * 1024;
  std::chrono::seconds request_timeout{20};  // a request's head and body, from its first byte; an answer's write
  std::chrono::seconds idle_timeout{60};     // a connection without a request under way
  int connections = 10000;                   // open at once, in all
  int connections_per_address = 256;         // open at once from one client address
  int event_threads = 1;
  int workers = 32;       // answers at once (each may wait for the queue's disk)
  size_t waiting = 4096;  // requests waiting for a worker; beyond, 503
};

// Routes a request by its head: either the refusal to send at once, or the
// answer to run on a worker once the body is in.
using HttpAnswer = std::function<HttpResponse(const HttpRequest&)>;
using HttpRoute = std::variant<HttpResponse, HttpAnswer>;
using HttpRouter = std::function<HttpRoute(const HttpRequest& head)>;

struct HttpStats {
  int open = 0;                   // connections now
  uint64_t refused = 0;           // connections closed at once: over a cap
  uint64_t timed_out = 0;         // requests cut off by their deadline
  uint64_t refused_requests = 0;  // 4xx/5xx the server gave itself (too big, malformed, busy)
};

class HttpServer {
 public:
  HttpServer(HttpRouter router, HttpLimits limits);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and listens; returns the port (any free one for 0), or -1 with
  // the reason in `error`. Caps the connections below the descriptor limit.
  int Bind(const std::string& host, int port, std::string& error);
  // Starts the event threads; returns at once.
  void Start();
  // Stops accepting and closes idle connections; answers under way are
  // written. Returns when every connection has ended.
  void Stop();
  HttpStats Stats() const;

  struct Shared;  // what the connections share with the server

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace talvenix::daemon
