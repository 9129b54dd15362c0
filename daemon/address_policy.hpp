// SPDX-License-Identifier: Apache-2.0
#pragma once
// Which addresses the daemon may send webhooks to. A client names the
// receivers, so by default none of the machine's own or its network's
// addresses: loopback, link-local (cloud metadata services live there),
// private, shared, multicast and reserved ones are refused, unless an
// operator allows a network ([webhook] allow). The check runs on the address
// a connection is about to be made to, so a name that resolves to such an
// address is refused too.

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace talvenix::daemon {

class AddressPolicy {
 public:
  // Allows a network, "10.0.0.0/8", "fd00::/8" or one address; false when
  // `network` is none.
  bool Allow(const std::string& network);
  // Empty when a connection to `address` may be made, else why not.
  std::string Refusal(const sockaddr* address) const;
  // The same for a host as a URL names it: empty when it is allowed or a
  // name (names are checked when they are resolved).
  std::string RefusalOfLiteral(const std::string& host) const;

 private:
  struct Network {
    std::array<uint8_t, 16> bytes{};  // IPv4 as an IPv4-mapped IPv6 address
    int prefix = 0;                   // bits, of the 128
  };
  std::string Refusal(const std::array<uint8_t, 16>& address) const;
  std::vector<Network> allowed_;
};

}  // namespace talvenix::daemon
