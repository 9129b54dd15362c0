// SPDX-License-Identifier: Apache-2.0
// The daemon's HTTP server in this process, against clients that are idle,
// slow, greedy or send more than they may: each holds only its own
// connection, bodies are refused before they are read, the caps hold.

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "common/free_port.hpp"
#include "daemon/http_server.hpp"

namespace talvenix::testing {
namespace {

using daemon::HttpAnswer;
using daemon::HttpLimits;
using daemon::HttpRequest;
using daemon::HttpResponse;
using daemon::HttpRoute;
using daemon::HttpServer;

// POST /echo with "Key: yes" answers the body's size; without the key 401.
class EchoServer {
 public:
  explicit EchoServer(HttpLimits limits) : server_([this](const HttpRequest& head) { return Route(head); }, limits) {
    std::string error;
    port_ = server_.Bind("localhost", 0, error);  // a name, as talvenixd.ini may give
    EXPECT_GT(port_, 0) << error;
    server_.Start();
  }
  int port() const { return port_; }
  HttpServer& server() { return server_; }
  std::atomic<int> answered{0};

 private:
  HttpRoute Route(const HttpRequest& head) {
    if (head.Header("key") != "yes") return daemon::ErrorResponse(401, "no key");
    return HttpAnswer([this](const HttpRequest& req) {
      ++answered;
      if (req.path == "/slow") std::this_thread::sleep_for(std::chrono::milliseconds(500));
      return HttpResponse{200, "text/plain", std::to_string(req.body.size()) + " " + req.Param("q").value_or("-"), {}};
    });
  }

  HttpServer server_;
  int port_ = -1;
};

// What the server wrote before it closed or went quiet for 5 s.
std::string ReadAll(int s) {
  timeval five{5, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &five, sizeof five);
  std::string all;
  char chunk[4096];
  for (ssize_t n; (n = recv(s, chunk, sizeof chunk, 0)) > 0;) all.append(chunk, static_cast<size_t>(n));
  return all;
}

void Send(int s, const std::string& bytes) { send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

httplib::Result KeyedGet(int port, const std::string& path) {
  httplib::Client c("127.0.0.1", port);
  c.set_read_timeout(5);
  return c.Get(path, {{"Key", "yes"}});
}

TEST(HttpServer, IdleAndSlowClientsHoldOnlyTheirOwnConnections) {
  HttpLimits limits;
  limits.request_timeout = std::chrono::seconds(1);
  EchoServer echo(limits);
  std::vector<int> idle;
  for (int i = 0; i < 300; ++i) idle.push_back(ConnectToLoopback(echo.port(), 2 + i % 4));
  // Slow ones: a header line every 300 ms, for ever.
  std::atomic<bool> stop{false};
  std::vector<std::thread> slow;
  std::atomic<int> cut{0};
  for (int i = 0; i < 20; ++i)
    slow.emplace_back([&] {
      int s = ConnectToLoopback(echo.port(), 6);
      Send(s, "GET /echo HTTP/1.1\r\nKey: yes\r\n");
      while (!stop && send(s, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL) > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (!stop) ++cut;
      close(s);
    });
  // Keep-alive clients, each asking in turn: every one is answered often.
  std::vector<int> answers(50, 0);
  std::vector<std::thread> busy;
  for (int i = 0; i < 50; ++i)
    busy.emplace_back([&, i] {
      httplib::Client c("127.0.0.1", echo.port());
      c.set_keep_alive(true);
      for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
           std::chrono::steady_clock::now() < until;) {
        auto res = c.Get("/echo?q=a%20b", {{"Key", "yes"}});
        if (res && res->status == 200 && res->body == "0 a b") ++answers[i];
      }
    });
  for (auto& t : busy) t.join();
  for (int i = 0; i < 50; ++i) EXPECT_GE(answers[i], 10) << "client " << i << " was starved";
  EXPECT_TRUE(KeyedGet(echo.port(), "/echo")) << "300 idle and 20 slow clients starved a new one";
  // The slow ones were cut off by the request deadline, the idle ones kept.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(cut.load(), 20);
  EXPECT_GE(echo.server().Stats().timed_out, 20u);
  EXPECT_GE(echo.server().Stats().open, 300);
  stop = true;
  for (auto& t : slow) t.join();
  for (int s : idle) close(s);
}

TEST(HttpServer, BodiesAreRefusedBeforeTheyAreReadAndCountedHoweverSent) {
  HttpLimits limits;
  limits.body_bytes = 1000;
  EchoServer echo(limits);
  const std::string chunk = "400\r\n" + std::string(1024, 'x') + "\r\n";
  auto status_of = [](const std::string& answer) { return answer.substr(0, answer.find("\r\n")); };

  // Without the key: answered from the head, while the client still sends.
  int s = ConnectToLoopback(echo.port());
  Send(s, "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk);
  EXPECT_EQ(status_of(ReadAll(s)), "HTTP/1.1 401 Unauthorized");
  close(s);

  // With it: a chunked body past the limit, a Content-Length past it, a
  // compressed body (never inflated), and a body within it.
  const std::pair<std::string, std::string> cases[] = {
      {"Transfer-Encoding: chunked\r\n\r\n" + chunk + chunk, "HTTP/1.1 413 Payload Too Large"},
      {"Content-Length: 1000000\r\n\r\n", "HTTP/1.1 413 Payload Too Large"},
      {"Content-Encoding: gzip\r\nContent-Length: 20\r\n\r\n", "HTTP/1.1 415 Unsupported Media Type"},
      {"Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", "HTTP/1.1 200 OK"},
      {"Content-Length: x\r\n\r\n", "HTTP/1.1 400 Bad Request"},
  };
  for (const auto& [rest, expected] : cases) {
    s = ConnectToLoopback(echo.port());
    Send(s, "POST /echo HTTP/1.1\r\nHost: x\r\nKey: yes\r\nConnection: close\r\n" + rest);
    EXPECT_EQ(status_of(ReadAll(s)), expected) << rest.substr(0, 40);
    close(s);
  }
  EXPECT_EQ(echo.answered.load(), 1);

  // A client that waits for "100 Continue" gets it once its head passes.
  s = ConnectToLoopback(echo.port());
  Send(s,
       "POST /echo?q=a+b%21 HTTP/1.1\r\nHost: x\r\nKey: yes\r\nConnection: close\r\nExpect: 100-continue\r\n"
       "Content-Length: 3\r\n\r\n");
  char head[64] = {};
  ASSERT_GT(recv(s, head, sizeof head - 1, 0), 0);
  EXPECT_EQ(status_of(head), "HTTP/1.1 100 Continue");
  Send(s, "abc");
  EXPECT_NE(ReadAll(s).find("\r\n\r\n3 a b!"), std::string::npos);  // a form's query decoded
  close(s);
}

TEST(HttpServer, ConnectionsAreCappedInAllAndPerAddress) {
  HttpLimits limits;
  limits.connections = 8;
  limits.connections_per_address = 5;
  EchoServer echo(limits);
  std::vector<int> held;
  for (int i = 0; i < 5; ++i) held.push_back(ConnectToLoopback(echo.port(), 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int over = ConnectToLoopback(echo.port(), 2);
  EXPECT_NE(ReadAll(over).find("too many connections"), std::string::npos);
  close(over);
  for (int i = 0; i < 3; ++i) held.push_back(ConnectToLoopback(echo.port(), 3));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto ninth = KeyedGet(echo.port(), "/echo");
  EXPECT_TRUE(!ninth || ninth->status == 503) << "a ninth connection was served";
  EXPECT_EQ(echo.server().Stats().open, 8);
  EXPECT_EQ(echo.server().Stats().refused, 2u);
  for (int s : held) close(s);
  EXPECT_TRUE(KeyedGet(echo.port(), "/echo")) << "closed connections still counted";
}

TEST(HttpServer, StopWritesTheAnswersUnderWayAndClosesTheRest) {
  EchoServer echo(HttpLimits{});
  int idle = ConnectToLoopback(echo.port());
  std::thread slow([&] {
    auto res = KeyedGet(echo.port(), "/slow");
    EXPECT_TRUE(res && res->status == 200) << "an answer under way was lost at the stop";
  });
  while (echo.answered == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  echo.server().Stop();
  slow.join();
  EXPECT_EQ(ReadAll(idle), "");  // closed, with nothing to say
  close(idle);
  EXPECT_EQ(ConnectToLoopback(echo.port()), -1);
}

}  // namespace
}  // namespace talvenix::testing
