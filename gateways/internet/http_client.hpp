// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one HTTP transport of the module: libcurl on POSIX
// (http_client_curl.cpp), WinHTTP on Windows (http_client_win.cpp). A request
// never goes out twice. On POSIX a client keeps its connections (keep-alive,
// TLS sessions), and when a kept connection drops after the request was
// written the transfer fails rather than repeat it on a fresh connection,
// since the server may have taken it. WinHTTP would repeat it by itself, so on
// Windows every request has a connection of its own. TLS peers are always
// verified: against the system's CA store, or on POSIX the file
// TALVENIX_CA_FILE names. A client is used by one thread at a
// time; only Abort and Resume may be called from another.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "contract/log_interface.hpp"
#include "contract/transport_outcome.hpp"
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
  // A request that changes nothing (a query) may go out again on a fresh
  // connection when a kept one died before any answer; any other request
  // is never sent twice.
  bool idempotent = false;
};

// The step of a request that failed, in the same words on every platform.
enum class HttpFailure {
  kNone,
  kBadUrl,   // the URL could not be parsed
  kSetUp,    // the transport could not be set up (session, handle, memory)
  kConnect,  // the server or proxy could not be resolved or reached, or the proxy settings not read
  kSend,     // the request could not be sent: TLS handshake and peer verification included
  kReceive   // the answer did not arrive, or broke off (headers_received() tells which)
};

// What came back. `code` is the transport's own number for a failure (a
// CURLcode, or a WinHTTP error code), for log lines only; error_text
// describes it, fit for a log line. Both are empty/0 on success.
struct HttpResult {
  HttpFailure failure = HttpFailure::kNone;
  int code = 0;
  std::string error_text;
  bool resend_refused = false;  // the connection dropped after the request went out: the server may have it
  bool aborted = false;         // Abort ended the request
  long status = 0;              // HTTP status of the server's answer; 0 when none arrived
  long proxy_status = 0;        // the proxy's answer to a tunnel (CONNECT) request; 0 when none
  std::string body;             // at most HttpLimits::max_body_bytes
  bool truncated = false;       // the body was longer than the limit
  bool headers_received() const { return status != 0; }
  bool ok() const { return failure == HttpFailure::kNone; }
  TransportOutcome outcome() const {
    if (aborted) return TransportOutcome::kCut;
    if (ok()) return TransportOutcome::kAnswered;
    // Once the request went out whole, the server may have acted on it,
    // whether or not its answer came back.
    if (resend_refused || failure == HttpFailure::kReceive) return TransportOutcome::kMaybeTaken;
    return TransportOutcome::kNotSent;
  }
};

class HttpClient {
 public:
  // `logger` is not owned and must outlive the client.
  explicit HttpClient(ILogInterface* logger, HttpLimits limits = {});
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Reads the configured proxy from the host settings (platform::HostSettings:
  // a file on POSIX, the registry on Windows; its default place when `path` is
  // empty). False, logged, when they could not be read; requests with the
  // configured proxy then fail, each with a log line, until they read again
  // (they are read again for each of them).
  bool LoadProxySettings(const std::string& path = {});
  // Reads the system proxy for `url` into the proxy state.
  bool LoadSystemProxySettings(std::string_view url);
  const ProxyState& proxy_state() const { return proxy_; }

  // One GET. Logs only a body cut at the limit; the caller reports failures.
  HttpResult Get(const HttpRequest& request);

  // One GET with the default user agent and "Accept:application/xml": true
  // when the server answered 2xx, with the body (possibly cut at the limit) in
  // `response`. Every failure is logged, the URL through MaskCredentials.
  // `outcome`, when given, says how the request ended (kAnswered also for
  // an answer that is not 2xx).
  bool SendRequest(const std::string& url, std::string& response, TransportOutcome* outcome = nullptr);

  // The transport's code for a URL it refuses, for callers that refuse one first.
  static const int kBadUrlCode;

  // Any thread: ends the request under way at once (it fails with `aborted`
  // set) and every later one before it starts, until Resume.
  void Abort();
  void Resume();

 private:
  // The platform's HTTP stack and the state of the request under way.
  struct Transport;

  // The host and port of `url` for log lines; a non-zero code when it cannot be parsed.
  struct UrlParts {
    int code = 0;
    std::string host;
    long port = 0;
  };
  static UrlParts CrackUrl(const std::string& url);
  // The proxy state that `request` goes out with: `system` filled afresh, or
  // the client's own. Null, logged, when it must not go out at all (a
  // configured proxy that cannot be read: going around it is no option).
  const ProxyState* ProxyFor(const HttpRequest& request, ProxyState& system);
  // Whether `state` gives proxy credentials for `request`.
  static bool UsesCredentials(const HttpRequest& request, const ProxyState& state) {
    return request.proxy == ProxyUse::kConfigured && state.mode != 0 && !state.user_name.empty();
  }
  void LogTruncated(const std::string& url) const;

  ILogInterface* logger_;
  HttpLimits limits_;
  ProxyState proxy_;
  std::string settings_path_;  // the host settings LoadProxySettings read
  std::unique_ptr<Transport> transport_;
};

// `url` (or a path with its query) as a log line may show it: the values of
// credential keys in the query (password, passwd, apiKey and the like) and the
// password of a URL's user-info become "****". Every URL this module logs
// passes through here.
std::string MaskCredentials(std::string_view url);

}  // namespace talvenix::internet
