// SPDX-License-Identifier: Apache-2.0
#include "daemon/address_policy.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>
#include <optional>

namespace talvenix::daemon {
namespace {

using Address = std::array<uint8_t, 16>;

// IPv4 addresses are kept as ::ffff:a.b.c.d, so one table holds both.
Address Mapped(const in_addr& v4) {
  Address a{};
  a[10] = a[11] = 0xFF;
  std::memcpy(a.data() + 12, &v4, 4);
  return a;
}

std::optional<Address> ParseAddress(const std::string& text) {
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return Mapped(v4);
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    Address a;
    std::memcpy(a.data(), &v6, 16);
    return a;
  }
  return std::nullopt;
}

bool InNetwork(const Address& a, const Address& network, int prefix) {
  for (int bit = 0; bit < prefix; ++bit) {
    const int mask = 0x80 >> (bit % 8);
    if ((a[bit / 8] & mask) != (network[bit / 8] & mask)) return false;
  }
  return true;
}

bool IsMapped(const Address& a) {
  static const Address prefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return InNetwork(a, prefix, 96);
}

struct Range {
  const char* network;
  int prefix;  // of an IPv4 network: its IPv4 prefix
  const char* kind;
};

// Addresses no webhook goes to unless allowed.
constexpr Range kRefused[] = {
    {"0.0.0.0", 8, "a \"this network\" address"},
    {"10.0.0.0", 8, "a private address"},
    {"100.64.0.0", 10, "a shared (carrier-grade NAT) address"},
    {"127.0.0.0", 8, "a loopback address"},
    {"169.254.0.0", 16, "a link-local address"},
    {"172.16.0.0", 12, "a private address"},
    {"192.0.0.0", 24, "an IETF protocol address"},
    {"192.168.0.0", 16, "a private address"},
    {"198.18.0.0", 15, "a benchmarking address"},
    {"224.0.0.0", 4, "a multicast address"},
    {"240.0.0.0", 4, "a reserved or broadcast address"},
    {"::", 128, "the unspecified address"},
    {"::1", 128, "a loopback address"},
    {"::", 96, "an IPv4-compatible address"},
    {"64:ff9b::", 96, "a NAT64 address"},
    {"64:ff9b:1::", 48, "a NAT64 address"},
    {"100::", 64, "a discard address"},
    {"fc00::", 7, "a unique local (private) address"},
    {"fe80::", 10, "a link-local address"},
    {"fec0::", 10, "a site-local address"},
    {"ff00::", 8, "a multicast address"},
};

}  // namespace

bool AddressPolicy::Allow(const std::string& network) {
  const size_t slash = network.find('/');
  const std::string address = network.substr(0, slash);
  std::optional<Address> a = ParseAddress(address);
  if (!a) return false;
  const bool v4 = address.find(':') == std::string::npos;
  int prefix = v4 ? 32 : 128;
  if (slash != std::string::npos) {
    const char* first = network.data() + slash + 1;
    const char* last = network.data() + network.size();
    auto [end, ec] = std::from_chars(first, last, prefix);
    if (first == last || ec != std::errc() || end != last || prefix < 0 || prefix > (v4 ? 32 : 128)) return false;
  }
  allowed_.push_back({*a, v4 ? prefix + 96 : prefix});
  return true;
}

std::string AddressPolicy::Refusal(const Address& a) const {
  for (const Network& n : allowed_)
    if (InNetwork(a, n.bytes, n.prefix)) return "";
  for (const Range& r : kRefused) {
    const bool v4 = std::strchr(r.network, ':') == nullptr;
    if (v4 && !IsMapped(a)) continue;
    if (InNetwork(a, *ParseAddress(r.network), v4 ? r.prefix + 96 : r.prefix)) {
      char text[INET6_ADDRSTRLEN] = "";
      if (IsMapped(a))
        inet_ntop(AF_INET, a.data() + 12, text, sizeof text);
      else
        inet_ntop(AF_INET6, a.data(), text, sizeof text);
      return std::string(text) + " is " + r.kind + ", which [webhook] allow does not name";
    }
  }
  return "";
}

std::string AddressPolicy::Refusal(const sockaddr* address) const {
  if (address->sa_family == AF_INET) return Refusal(Mapped(reinterpret_cast<const sockaddr_in*>(address)->sin_addr));
  if (address->sa_family == AF_INET6) {
    Address a;
    std::memcpy(a.data(), &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
    return Refusal(a);
  }
  return "not an internet address";
}

std::string AddressPolicy::RefusalOfLiteral(const std::string& host) const {
  std::optional<Address> a = ParseAddress(host);
  return a ? Refusal(*a) : "";
}

}  // namespace talvenix::daemon
