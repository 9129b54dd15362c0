// SPDX-License-Identifier: Apache-2.0
#include "daemon/webhook_url.hpp"

#include <curl/curl.h>

#include <charconv>
#include <memory>

namespace talvenix::daemon {
namespace {

constexpr size_t kMaxUrl = 2000;

struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

// One part of the parsed URL; empty when it has none.
std::string Part(CURLU* u, CURLUPart part, unsigned flags = 0) {
  char* text = nullptr;
  if (curl_url_get(u, part, &text, flags) != CURLUE_OK || text == nullptr) return "";
  std::string out = text;
  curl_free(text);
  return out;
}

}  // namespace

std::optional<WebhookUrl> ParseWebhookUrl(const std::string& url, std::string& why) {
  if (url.size() > kMaxUrl) {
    why = "longer than " + std::to_string(kMaxUrl) + " bytes";
    return std::nullopt;
  }
  for (unsigned char c : url)
    if (c <= 0x20 || c >= 0x7F) {
      why = "blanks, control characters and bytes outside ASCII must be percent-encoded";
      return std::nullopt;
    }
  std::unique_ptr<CURLU, UrlDeleter> u(curl_url());
  if (!u) {
    why = "out of memory";
    return std::nullopt;
  }
  if (CURLUcode rc = curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0); rc != CURLUE_OK) {
    why = curl_url_strerror(rc);
    return std::nullopt;
  }
  WebhookUrl out;
  out.scheme = Part(u.get(), CURLUPART_SCHEME);
  if (out.scheme != "http" && out.scheme != "https") {
    why = "expected an http:// or https:// URL";
    return std::nullopt;
  }
  // libcurl takes "http:///x" as the host x: only a URL that names its host
  // after "//" is one.
  if (url.find("://") == std::string::npos || url[url.find("://") + 3] == '/') {
    why = "no host";
    return std::nullopt;
  }
  if (!Part(u.get(), CURLUPART_USER).empty() || !Part(u.get(), CURLUPART_PASSWORD).empty() ||
      url.substr(0, url.find_first_of("/?#", url.find("://") + 3)).find('@') != std::string::npos) {
    why = "a user name or password has no place in it";
    return std::nullopt;
  }
  out.host = Part(u.get(), CURLUPART_HOST);
  if (out.host.size() > 2 && out.host.front() == '[' && out.host.back() == ']')
    out.host = out.host.substr(1, out.host.size() - 2);
  if (out.host.empty()) {
    why = "no host";
    return std::nullopt;
  }
  const std::string port = Part(u.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (std::from_chars(port.data(), port.data() + port.size(), out.port).ec != std::errc() || out.port < 1 ||
      out.port > 65535) {
    why = "the port must be a number from 1 to 65535";
    return std::nullopt;
  }
  curl_url_set(u.get(), CURLUPART_FRAGMENT, nullptr, 0);
  out.url = Part(u.get(), CURLUPART_URL);
  out.target = Part(u.get(), CURLUPART_PATH);
  if (out.target.empty()) out.target = "/";
  if (std::string query = Part(u.get(), CURLUPART_QUERY); !query.empty()) out.target += "?" + query;
  const size_t host_start = out.url.find("://");
  if (out.url.size() > kMaxUrl || host_start == std::string::npos) {
    why = "not a URL libcurl can write back";
    return std::nullopt;
  }
  out.origin = out.url.substr(0, out.url.find('/', host_start + 3));
  return out;
}

}  // namespace talvenix::daemon
