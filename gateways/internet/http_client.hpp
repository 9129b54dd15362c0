#pragma once
// The one HTTP transport of the module, over libcurl. One client keeps one
// connection handle, so requests to the same server reuse the connection
// (keep-alive) and the TLS session. A request never goes out twice: when a
// kept connection drops after the request was written, the transfer fails
// rather than repeat it on a fresh connection, since the server may have taken
// it. TLS peers are always verified against the system's CA bundle, or the file
// TALVENIX_CA_FILE names. A client is used by one thread at a time; only
// Abort and Resume may be called from another.

#include <atomic>
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
  std::string user_agent = "Vantrel HTTPClient";
  std::vector<std::string> headers = {"Accept:application/xml"};
  ProxyUse proxy = ProxyUse::kConfigured;
};

// What came back. The curl codes are CURLcode values (0 = the transfer
// completed); error_text describes a failure, fit for a log line, and is empty
// on success.
struct HttpResult {
  int curl_code = 0;
  int url_code = 0;  // CURLUcode of a URL that could not be parsed; 0 otherwise
  std::string error_text;
  bool resend_refused = false;  // the connection dropped after the request went out: the server may have it
  bool aborted = false;         // Abort ended the request
  long status = 0;              // HTTP status of the server's answer; 0 when none arrived
  long proxy_status = 0;        // the proxy's answer to a tunnel (CONNECT) request; 0 when none
  std::string body;             // at most HttpLimits::max_body_bytes
  bool truncated = false;       // the body was longer than the limit
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
  // with the configured proxy then fail, each with a log line, until the file
  // reads again (it is read again for each of them).
  bool LoadProxySettings(const std::string& path = {});
  // Reads the system (environment) proxy for `url` into the proxy state.
  bool LoadSystemProxySettings(std::string_view url);
  const ProxyState& proxy_state() const { return proxy_; }

  // One GET. Logs only a body cut at the limit; the caller reports failures.
  HttpResult Get(const HttpRequest& request);

  // One GET with the default user agent and "Accept:application/xml": true
  // when the server answered 2xx, with the body (possibly cut at the limit) in
  // `response`. Every failure is logged, the URL through MaskCredentials.
  bool SendRequest(const std::string& url, std::string& response);

  // Any thread: ends the request under way at once (it fails with `aborted`
  // set) and every later one before it starts, until Resume.
  void Abort();
  void Resume();

 private:
  bool PrepareHandle(const HttpRequest& request, HttpResult& result);
  bool ApplyProxy(const HttpRequest& request, HttpResult& result);
  // Runs the prepared transfer on the client's multi handle, so Abort can wake it.
  int Perform(HttpResult& result);
  static size_t Receive(char* data, size_t size, size_t count, void* self);
  static int BeforeEachRequest(void* self, char*, char*, int, int);

  ILogInterface* logger_;
  HttpLimits limits_;
  ProxyState proxy_;
  std::string settings_path_;  // the host settings file LoadProxySettings read
  void* multi_ = nullptr;        // CURLM*: holds the kept connections; lives as long as the client
  void* curl_ = nullptr;         // CURL*, created on first use and reused
  void* header_list_ = nullptr;  // curl_slist* of the last request
  std::atomic<bool> aborted_{false};
  // State of the transfer under way.
  std::string* body_ = nullptr;  // where Receive appends
  bool truncated_ = false;
  int requests_sent_ = 0;    // requests that went out on a connection
  long redirects_seen_ = 0;  // redirects followed when the last one went out
  bool resend_refused_ = false;
};


// `url` (or a path with its query) as a log line may show it: the values of
// credential keys in the query (password, passwd, apiKey and the like) and the
// password of a URL's user-info become "****". Every URL this module logs
// passes through here.
std::string MaskCredentials(std::string_view url);

}  // namespace talvenix::internet
