// SPDX-License-Identifier: Apache-2.0
#pragma once
// A free loopback TCP port for a peer or a daemon a test starts, a socket
// already listening on one for a peer of the test's own, or a raw client
// connection for a test that speaks (or stays silent) byte by byte.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace talvenix::testing {

// A loopback port that was free a moment ago.
inline int FreeLoopbackPort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

// A socket listening on a free loopback port, which `port` receives.
inline int ListenOnLoopback(int& port, int backlog) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(s, backlog);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return s;
}

// A socket connected to `port` on 127.0.0.`host` (so one test can be
// several client addresses), or -1.
inline int ConnectToLoopback(int port, int host = 1) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + static_cast<uint32_t>(host));
  if (host != 1 && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

}  // namespace talvenix::testing
