// SPDX-License-Identifier: Apache-2.0
// The HTTP client over libcurl. One easy handle is reused for every request
// on a multi handle that keeps the connections, so Abort can wake a wait.

#include <curl/curl.h>

#include <atomic>
#include <mutex>

#include "gateways/internet/http_client.hpp"
#include "support/environment_proxy.hpp"
#include "support/overrides.hpp"
#include "support/peer_text.hpp"

namespace talvenix::internet {
namespace {

void InitialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HttpFailure FailureOf(CURLcode code, double connect_time) {
  switch (code) {
    case CURLE_OK:
      return HttpFailure::kNone;
    case CURLE_URL_MALFORMAT:
      return HttpFailure::kBadUrl;
    case CURLE_FAILED_INIT:
      return HttpFailure::kSetUp;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
      return HttpFailure::kConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return connect_time > 0 ? HttpFailure::kReceive : HttpFailure::kConnect;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SEND_ERROR:
      return HttpFailure::kSend;
    default:
      return HttpFailure::kReceive;
  }
}

long CurlAuthOf(uint32_t scheme) { return scheme == kProxyAuthDigest ? CURLAUTH_DIGEST : CURLAUTH_BASIC; }

}  // namespace

struct HttpClient::Transport {
  Transport() {
    InitialiseCurlOnce();
    multi = curl_multi_init();
  }
  ~Transport() {
    curl_slist_free_all(header_list);
    if (curl) curl_easy_cleanup(curl);
    if (multi) curl_multi_cleanup(multi);
  }
  bool PrepareHandle(const HttpRequest& request, const HttpLimits& limits, CURLcode& code);
  bool ApplyProxy(const HttpRequest& request, const ProxyState& state, ILogInterface* logger, CURLcode& code);
  // Runs the prepared transfer on the multi handle, so Abort can wake it.
  CURLcode Perform(HttpResult& result);
  static size_t Receive(char* data, size_t size, size_t count, void* self);
  static int BeforeEachRequest(void* self, char*, char*, int, int);

  CURLM* multi = nullptr;  // holds the kept connections; lives as long as the client
  CURL* curl = nullptr;    // created on first use and reused
  curl_slist* header_list = nullptr;
  std::atomic<bool> aborted{false};
  size_t max_body_bytes = 0;
  // State of the transfer under way.
  std::string* body = nullptr;  // where Receive appends
  bool truncated = false;
  int requests_sent = 0;    // requests that went out on a connection
  long redirects_seen = 0;  // redirects followed when the last one went out
  bool resend_refused = false;
  bool idempotent = false;  // the request under way may go out again
};

const int HttpClient::kBadUrlCode = CURLE_URL_MALFORMAT;

HttpClient::HttpClient(ILogInterface* logger, HttpLimits limits)
    : logger_(logger), limits_(limits), transport_(std::make_unique<Transport>()) {}

HttpClient::~HttpClient() = default;

void HttpClient::Abort() {
  transport_->aborted = true;
  if (transport_->multi) curl_multi_wakeup(transport_->multi);
}

void HttpClient::Resume() { transport_->aborted = false; }

HttpClient::UrlParts HttpClient::CrackUrl(const std::string& url) {
  UrlParts parts;
  CURLU* u = curl_url();
  if (!u) {
    parts.code = CURLUE_OUT_OF_MEMORY;
    return parts;
  }
  parts.code = curl_url_set(u, CURLUPART_URL, url.c_str(), 0);
  if (parts.code == CURLUE_OK) {
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK) parts.host = host;
    if (curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) parts.port = std::atol(port);
    curl_free(host);
    curl_free(port);
  }
  curl_url_cleanup(u);
  return parts;
}

bool LoadSystemProxySettings(ProxyState& state, std::string_view url) {
  bool secure = url.size() >= 6 && (url.substr(0, 6) == "https:" || url.substr(0, 6) == "HTTPS:");
  // A variable removed since the last request is gone from the state too.
  auto [proxy, bypass] = ReadEnvironmentProxy(secure);
  state.mode = proxy.empty() ? 0 : kProxyNamed;
  state.proxy = proxy;
  state.bypass_list = bypass;
  return true;
}

size_t HttpClient::Transport::Receive(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<Transport*>(self);
  size_t bytes = size * count;
  size_t room = t->max_body_bytes - t->body->size();
  if (bytes > room) {
    t->body->append(data, room);
    t->truncated = true;
    return 0;  // ends the transfer: what is kept is enough to read the answer
  }
  t->body->append(data, bytes);
  return bytes;
}

// Called before each request goes out on a connection. A second request in
// one transfer that no redirect (or authentication round) asked for is
// libcurl repeating a request whose kept connection died before any answer:
// the server may have taken the first one, so it must not go out again.
int HttpClient::Transport::BeforeEachRequest(void* self, char*, char*, int, int) {
  auto* t = static_cast<Transport*>(self);
  long redirects = 0;
  curl_easy_getinfo(t->curl, CURLINFO_REDIRECT_COUNT, &redirects);
  if (t->requests_sent++ > 0 && redirects == t->redirects_seen && !t->idempotent) {
    t->resend_refused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  t->redirects_seen = redirects;
  return CURL_PREREQFUNC_OK;
}

bool HttpClient::Transport::PrepareHandle(const HttpRequest& request, const HttpLimits& limits, CURLcode& c) {
  if (!curl) curl = curl_easy_init();
  if (!curl) {
    c = CURLE_FAILED_INIT;
    return false;
  }
  // Options start afresh for every request; open connections and TLS sessions stay.
  curl_easy_reset(curl);
  curl_slist_free_all(header_list);
  header_list = nullptr;
  curl_slist* headers = nullptr;
  for (const std::string& h : request.headers) {
    curl_slist* grown = curl_slist_append(headers, h.c_str());
    if (!grown) {
      curl_slist_free_all(headers);
      c = CURLE_OUT_OF_MEMORY;
      return false;
    }
    headers = grown;
  }
  header_list = headers;
  max_body_bytes = limits.max_body_bytes;

  bool secure_only = request.url.compare(0, 6, "https:") == 0;
  c = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (c == CURLE_OK) c = curl_easy_setopt(curl, option, value);
  };
  set(CURLOPT_URL, request.url.c_str());
  set(CURLOPT_HTTPGET, 1L);
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  // Redirects are followed as the platform's HTTP stack does, never from HTTPS down to HTTP.
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, 10L);
  set(CURLOPT_REDIR_PROTOCOLS_STR, secure_only ? "https" : "http,https");
  set(CURLOPT_USERAGENT, request.user_agent.c_str());
  set(CURLOPT_HTTPHEADER, headers);
  set(CURLOPT_CONNECTTIMEOUT, limits.connect_timeout_s);
  set(CURLOPT_LOW_SPEED_LIMIT, 1L);
  set(CURLOPT_LOW_SPEED_TIME, limits.idle_timeout_s);
  set(CURLOPT_TIMEOUT, limits.total_timeout_s);
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  set(CURLOPT_PROXY_SSL_VERIFYPEER, 1L);
  set(CURLOPT_PROXY_SSL_VERIFYHOST, 2L);
  std::string ca_file = CaFileOverride();
  if (!ca_file.empty()) {
    set(CURLOPT_CAINFO, ca_file.c_str());
    set(CURLOPT_PROXY_CAINFO, ca_file.c_str());
  }
  set(CURLOPT_WRITEFUNCTION, &Transport::Receive);
  set(CURLOPT_WRITEDATA, this);
  set(CURLOPT_PREREQFUNCTION, &Transport::BeforeEachRequest);
  set(CURLOPT_PREREQDATA, this);
  return c == CURLE_OK;
}

bool HttpClient::Transport::ApplyProxy(const HttpRequest& request, const ProxyState& state, ILogInterface* logger,
                                       CURLcode& c) {
  bool named = (state.mode & kProxyNamed) && !state.proxy.empty();
  // Always set: curl would otherwise read the environment on its own.
  curl_easy_setopt(curl, CURLOPT_PROXY, named ? state.proxy.c_str() : "");
  curl_easy_setopt(curl, CURLOPT_NOPROXY, named ? state.bypass_list.c_str() : "");
  if (!UsesCredentials(request, state)) return true;
  c = curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, state.user_name.c_str());
  if (c == CURLE_OK) c = curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, state.password.c_str());
  if (c == CURLE_OK) c = curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CurlAuthOf(state.auth_scheme));
  if (c == CURLE_OK) return true;
  logger->Error("Failed setting Proxy credentials, error:%u (%s)", static_cast<unsigned>(c), curl_easy_strerror(c));
  return false;
}

CURLcode HttpClient::Transport::Perform(HttpResult& result) {
  if (!multi || curl_multi_add_handle(multi, curl) != CURLM_OK) return CURLE_FAILED_INIT;
  CURLcode code = CURLE_OK;
  for (bool done = false; !done;) {
    if (aborted) {
      result.aborted = true;
      code = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      code = CURLE_OUT_OF_MEMORY;
      break;
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg == CURLMSG_DONE) {
        code = message->data.result;
        done = true;
      }
    }
    // Abort wakes this wait at once; libcurl shortens it to its own time-outs.
    if (!done) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  // Removing an unfinished transfer closes its connection.
  curl_multi_remove_handle(multi, curl);
  return code;
}

HttpResult HttpClient::Get(const HttpRequest& request) {
  HttpResult result;
  Transport& t = *transport_;
  auto fail = [&result](CURLcode code, std::string text) {
    result.failure = FailureOf(code, 0);
    result.code = code;
    result.error_text = std::move(text);
    return result;
  };
  if (int url_code = CrackUrl(request.url).code; url_code != CURLUE_OK)
    return fail(CURLE_URL_MALFORMAT, curl_url_strerror(static_cast<CURLUcode>(url_code)));
  ProxyState system;
  const ProxyState* proxy = ProxyFor(request, system);
  if (!proxy) return fail(CURLE_COULDNT_RESOLVE_PROXY, curl_easy_strerror(CURLE_COULDNT_RESOLVE_PROXY));
  CURLcode code = CURLE_OK;
  if (!t.PrepareHandle(request, limits_, code) || !t.ApplyProxy(request, *proxy, logger_, code))
    return fail(code, curl_easy_strerror(code));
  char error_buffer[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(t.curl, CURLOPT_ERRORBUFFER, error_buffer);
  t.body = &result.body;
  t.truncated = false;
  t.requests_sent = 0;
  t.redirects_seen = 0;
  t.resend_refused = false;
  t.idempotent = request.idempotent;
  code = t.Perform(result);
  t.body = nullptr;
  curl_easy_setopt(t.curl, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &result.status);
  curl_easy_getinfo(t.curl, CURLINFO_HTTP_CONNECTCODE, &result.proxy_status);
  if (code == CURLE_WRITE_ERROR && t.truncated) {
    code = CURLE_OK;
    result.truncated = true;
    LogTruncated(request.url);
  }
  double connect_time = 0;
  curl_easy_getinfo(t.curl, CURLINFO_CONNECT_TIME, &connect_time);
  result.failure = FailureOf(code, connect_time);
  result.code = code;
  result.resend_refused = t.resend_refused;
  if (result.resend_refused)
    result.error_text =
        "the connection dropped after the request was sent; it is not sent again, as the server may "
        "have taken it";
  else if (result.aborted)
    result.error_text = "the request was aborted";
  else if (code != CURLE_OK)
    // The error buffer may quote what the server sent.
    result.error_text = error_buffer[0] ? PeerText(error_buffer) : curl_easy_strerror(code);
  return result;
}

}  // namespace talvenix::internet
