#pragma once
// The one HTTP transport of the module, over libcurl. One client keeps one
// connection handle, so requests to the same server reuse the connection
// (keep-alive) and the TLS session. TLS peers are always verified against the
// system's CA bundle, or the file TALVENIX_CA_FILE names. A client is used by
// one thread at a time; it takes no locks.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "contract/log_interface.hpp"
#include "gateways/internet/proxy_settings.hpp"

namespace talvenix::internet {

struct HttpLimits {
  long connect_timeout_s = 60;      // connecting, proxy and TLS handshake included
  long idle_timeout_s = 30;         // a transfer that receives nothing for this long ends
  long total_timeout_s = 300;       // no transfer lasts longer, however slowly it trickles
  size_t max_body_bytes = 1 << 20;  // more is not kept: reading stops and the log says so
};

enum class ProxyUse {
  kConfigured,               // the configured proxy with its credentials, else the system proxy
  kSystemWithoutCredentials  // the system proxy read afresh, never credentials (device requests)
};

struct HttpRequest {
  std::string url;
  // What log lines show instead of `url` (passwords as ****); empty: the url.
  std::string log_url;
  std::string user_agent = "Vantrel HTTPClient";
  std::vector<std::string> headers = {"Accept:application/xml"};
  ProxyUse proxy = ProxyUse::kConfigured;
};

// What came back. The curl codes are CURLcode values (0 = the transfer
// completed); error_text is curl's own description, empty on success.
struct HttpResult {
  int curl_code = 0;
  int url_code = 0;  // CURLUcode of a URL that could not be parsed; 0 otherwise
  std::string error_text;
  long status = 0;         // HTTP status of the server's answer; 0 when none arrived
  long proxy_status = 0;   // the proxy's answer to a tunnel (CONNECT) request; 0 when none
  std::string body;        // at most HttpLimits::max_body_bytes
  bool truncated = false;  // the body was longer than the limit
  bool headers_received() const { return status != 0; }
};

class HttpClient {
 public:
  // `logger` is not owned and must outlive the client.
  explicit HttpClient(ILogInterface* logger, HttpLimits limits = {});
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Reads the configured proxy from the host settings file (its default path
  // when `path` is empty). False, logged, when it could not be read; requests
  // then go direct or through the system proxy.
  bool LoadProxySettings(const std::string& path = {});
  // Reads the system (environment) proxy for `url` into the proxy state.
  bool LoadSystemProxySettings(std::string_view url);
  const ProxyState& proxy_state() const { return proxy_; }

  // One GET. Logs only a body cut at the limit; the caller reports failures.
  HttpResult Get(const HttpRequest& request);

  // One GET with the default user agent and "Accept:application/xml": true
  // when the server answered 2xx, with the body (possibly cut at the limit) in
  // `response`. Every failure is logged; `log_url` replaces the URL in them.
  bool SendRequest(const std::string& url, std::string& response, const std::string& log_url = {});

 private:
  bool PrepareHandle(const HttpRequest& request, HttpResult& result);
  bool ApplyProxy(const HttpRequest& request, HttpResult& result);
  static size_t Receive(char* data, size_t size, size_t count, void* self);

  ILogInterface* logger_;
  HttpLimits limits_;
  ProxyState proxy_;
  void* curl_ = nullptr;         // CURL*, created on first use and kept for keep-alive
  void* header_list_ = nullptr;  // curl_slist* of the last request
  std::string* body_ = nullptr;  // where Receive appends during a transfer
  bool truncated_ = false;
};

// Text of a curl error code (curl_easy_strerror).
std::string HttpErrorText(int curl_code);

}  // namespace talvenix::internet
