// SPDX-License-Identifier: Apache-2.0
#pragma once
// The system proxy configuration on POSIX: the environment's https_proxy,
// http_proxy and all_proxy (either case) name the proxy, no_proxy lists the
// hosts reached directly. For clients that cannot read these themselves.

#include <optional>
#include <string>
#include <string_view>

namespace talvenix {

struct ProxyServer {
  std::string host;
  int port = 0;
  std::string user;      // empty: no credentials
  std::string password;  // percent-decoded, never to be logged
};

// The environment's proxy variables as they stand, empty when unset: the
// proxy for a request of that scheme and the no_proxy bypass list.
struct EnvironmentProxyVariables {
  std::string_view proxy;
  std::string_view bypass;
};
EnvironmentProxyVariables ReadEnvironmentProxy(bool https);

// The proxy for a request to `url` ("http://" or "https://"), read afresh
// from the environment; nullopt when the request goes direct (no variable
// set, the host is listed in no_proxy, or the variable cannot be read).
std::optional<ProxyServer> EnvironmentProxyFor(std::string_view url);

}  // namespace talvenix
