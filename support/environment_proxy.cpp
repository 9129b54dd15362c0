// SPDX-License-Identifier: Apache-2.0
#include "support/environment_proxy.hpp"

#include <cctype>
#include <cstdlib>

#include "support/text_codec.hpp"

namespace talvenix {
namespace {

std::string_view Env(const char* lower, const char* upper) {
  for (const char* name : {lower, upper}) {
    const char* v = std::getenv(name);
    if (v && *v) return v;
  }
  return {};
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Host (without brackets) and port of an authority "host[:port]" or "[v6]:port".
bool SplitHostPort(std::string_view authority, std::string& host, int& port, int default_port) {
  port = default_port;
  std::string_view port_text;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = std::string(authority.substr(1, close - 1));
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return false;
      port_text = authority.substr(close + 2);
    }
  } else {
    size_t colon = authority.rfind(':');
    host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) port_text = authority.substr(colon + 1);
  }
  if (!port_text.empty()) {
    int value = 0;
    for (char c : port_text) {
      if (c < '0' || c > '9' || value > 65535) return false;
      value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = value;
  }
  return !host.empty();
}

// True when no_proxy names the host: "*", an exact name, or a domain suffix
// (".example.com" and "example.com" both cover "a.example.com").
bool Bypassed(const std::string& host, std::string_view list) {
  std::string h = Lower(host);
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view entry = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    while (!entry.empty() && std::isspace(static_cast<unsigned char>(entry.front()))) entry.remove_prefix(1);
    while (!entry.empty() && std::isspace(static_cast<unsigned char>(entry.back()))) entry.remove_suffix(1);
    if (entry.empty()) continue;
    if (entry == "*") return true;
    std::string e = Lower(entry);
    if (e.front() == '.') e.erase(0, 1);
    if (size_t colon = e.find(':'); colon != std::string::npos && e.find(':', colon + 1) == std::string::npos)
      e.erase(colon);  // "host:port": the port is not compared
    if (h == e) return true;
    if (h.size() > e.size() && h.compare(h.size() - e.size(), e.size(), e) == 0 && h[h.size() - e.size() - 1] == '.')
      return true;
  }
  return false;
}

}  // namespace

EnvironmentProxyVariables ReadEnvironmentProxy(bool https) {
  std::string_view proxy = https ? Env("https_proxy", "HTTPS_PROXY") : Env("http_proxy", "HTTP_PROXY");
  if (proxy.empty()) proxy = Env("all_proxy", "ALL_PROXY");
  return {proxy, Env("no_proxy", "NO_PROXY")};
}

std::optional<ProxyServer> EnvironmentProxyFor(std::string_view url) {
  const bool https = url.substr(0, 8) == "https://";
  if (!https && url.substr(0, 7) != "http://") return std::nullopt;
  std::string_view rest = url.substr(https ? 8 : 7);
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string target_host;
  int target_port = 0;
  if (!SplitHostPort(authority, target_host, target_port, https ? 443 : 80)) return std::nullopt;

  auto [value, bypass] = ReadEnvironmentProxy(https);
  if (value.empty() || Bypassed(target_host, bypass)) return std::nullopt;

  // [http://][user[:password]@]host[:port][/]; only HTTP proxies are spoken to.
  if (size_t scheme = value.find("://"); scheme != std::string_view::npos) {
    if (Lower(value.substr(0, scheme)) != "http") return std::nullopt;
    value.remove_prefix(scheme + 3);
  }
  value = value.substr(0, value.find('/'));
  ProxyServer proxy;
  if (size_t at = value.rfind('@'); at != std::string_view::npos) {
    std::string_view credentials = value.substr(0, at);
    size_t colon = credentials.find(':');
    proxy.user = PercentDecode(credentials.substr(0, colon));
    if (colon != std::string_view::npos) proxy.password = PercentDecode(credentials.substr(colon + 1));
    value.remove_prefix(at + 1);
  }
  if (!SplitHostPort(value, proxy.host, proxy.port, 1080)) return std::nullopt;
  return proxy;
}

}  // namespace talvenix
