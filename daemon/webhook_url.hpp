// SPDX-License-Identifier: Apache-2.0
#pragma once
// The URL of a webhook receiver, checked whole by libcurl's URL parser:
// http or https, a host, a port from 1 to 65535, no user name or password
// (they would be stored and logged with the event), at most 2,000 bytes.

#include <optional>
#include <string>

namespace talvenix::daemon {

struct WebhookUrl {
  std::string url;     // canonical: what is stored and fetched (no fragment)
  std::string origin;  // its "scheme://host[:port]", which names the receiver
  std::string scheme;  // "http" or "https"
  std::string host;    // a name, an IPv4 address, or an IPv6 address without brackets
  int port = 0;
  std::string target;  // path and query: "/hooks?x=1"
};

// The receiver `url` names, or nothing and why not in `why`.
std::optional<WebhookUrl> ParseWebhookUrl(const std::string& url, std::string& why);

}  // namespace talvenix::daemon
