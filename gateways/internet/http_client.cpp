#include "gateways/internet/http_client.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include "platform/host_settings.hpp"
#include "support/overrides.hpp"
#include "support/peer_text.hpp"

namespace talvenix::internet {
namespace {

void InitialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Steps of a request that a curl failure belongs to, as the log names them.
enum class Step { kConnect, kSend, kReceive };

Step StepOf(CURLcode code, double connect_time) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
      return Step::kConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return connect_time > 0 ? Step::kReceive : Step::kConnect;
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
      return Step::kSend;
    default:
      return Step::kReceive;
  }
}

long CurlAuthOf(uint32_t scheme) { return scheme == kProxyAuthDigest ? CURLAUTH_DIGEST : CURLAUTH_BASIC; }

struct UrlParts {
  int code = 0;
  std::string host;
  long port = 0;
};

UrlParts CrackUrl(const std::string& url) {
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

bool IsCredentialKey(std::string_view key) {
  static constexpr std::string_view kKeys[] = {"password", "passwd", "pwd", "apikey", "api_key", "token", "secret"};
  return std::any_of(std::begin(kKeys), std::end(kKeys), [key](std::string_view k) {
    return key.size() == k.size() && std::equal(key.begin(), key.end(), k.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) == b;
           });
  });
}

constexpr std::string_view kHidden = "****";

}  // namespace

std::string MaskCredentials(std::string_view url) {
  std::string out(url);
  // user:password@ in the authority.
  if (size_t scheme = out.find("://"); scheme != std::string::npos) {
    size_t start = scheme + 3;
    size_t end = std::min(out.find_first_of("/?#", start), out.size());
    size_t at = out.rfind('@', end);
    if (at != std::string::npos && at >= start && at < end) {
      size_t colon = out.find(':', start);
      if (colon < at) out.replace(colon + 1, at - colon - 1, kHidden);
    }
  }
  size_t query = out.find('?');
  if (query == std::string::npos) return out;
  for (size_t pos = query + 1; pos < out.size();) {
    size_t end = std::min(out.find('&', pos), out.size());
    size_t eq = out.find('=', pos);
    if (eq < end && IsCredentialKey(std::string_view(out).substr(pos, eq - pos))) {
      out.replace(eq + 1, end - eq - 1, kHidden);
      end = eq + 1 + kHidden.size();
    }
    pos = end + 1;
  }
  return out;
}

HttpClient::HttpClient(ILogInterface* logger, HttpLimits limits) : logger_(logger), limits_(limits) {
  InitialiseCurlOnce();
  multi_ = curl_multi_init();
}

HttpClient::~HttpClient() {
  curl_slist_free_all(static_cast<curl_slist*>(header_list_));
  if (curl_) curl_easy_cleanup(curl_);
  if (multi_) curl_multi_cleanup(multi_);
}

void HttpClient::Abort() {
  aborted_ = true;
  if (multi_) curl_multi_wakeup(multi_);
}

void HttpClient::Resume() { aborted_ = false; }

bool HttpClient::LoadProxySettings(const std::string& path) {
  settings_path_ = path.empty() ? HostSettingsPath() : path;
  return internet::LoadProxySettings(proxy_, logger_, settings_path_);
}

bool HttpClient::LoadSystemProxySettings(std::string_view url) {
  return internet::LoadSystemProxySettings(proxy_, url);
}

size_t HttpClient::Receive(char* data, size_t size, size_t count, void* self) {
  auto* client = static_cast<HttpClient*>(self);
  size_t bytes = size * count;
  size_t room = client->limits_.max_body_bytes - client->body_->size();
  if (bytes > room) {
    client->body_->append(data, room);
    client->truncated_ = true;
    return 0;  // ends the transfer: what is kept is enough to read the answer
  }
  client->body_->append(data, bytes);
  return bytes;
}

// Called before each request goes out on a connection. A second request in
// one transfer that no redirect (or authentication round) asked for is
// libcurl repeating a request whose kept connection died before any answer:
// the server may have taken the first one, so it must not go out again.
int HttpClient::BeforeEachRequest(void* self, char*, char*, int, int) {
  auto* client = static_cast<HttpClient*>(self);
  long redirects = 0;
  curl_easy_getinfo(client->curl_, CURLINFO_REDIRECT_COUNT, &redirects);
  if (client->requests_sent_++ > 0 && redirects == client->redirects_seen_) {
    client->resend_refused_ = true;
    return CURL_PREREQFUNC_ABORT;
  }
  client->redirects_seen_ = redirects;
  return CURL_PREREQFUNC_OK;
}

bool HttpClient::PrepareHandle(const HttpRequest& request, HttpResult& result) {
  if (!curl_) curl_ = curl_easy_init();
  if (!curl_) {
    result.curl_code = CURLE_FAILED_INIT;
    return false;
  }
  CURL* curl = curl_;
  // Options start afresh for every request; open connections and TLS sessions stay.
  curl_easy_reset(curl);
  curl_slist_free_all(static_cast<curl_slist*>(header_list_));
  header_list_ = nullptr;
  curl_slist* headers = nullptr;
  for (const std::string& h : request.headers) {
    curl_slist* grown = curl_slist_append(headers, h.c_str());
    if (!grown) {
      curl_slist_free_all(headers);
      result.curl_code = CURLE_OUT_OF_MEMORY;
      return false;
    }
    headers = grown;
  }
  header_list_ = headers;

  bool secure_only = request.url.compare(0, 6, "https:") == 0;
  CURLcode c = CURLE_OK;
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
  set(CURLOPT_CONNECTTIMEOUT, limits_.connect_timeout_s);
  set(CURLOPT_LOW_SPEED_LIMIT, 1L);
  set(CURLOPT_LOW_SPEED_TIME, limits_.idle_timeout_s);
  set(CURLOPT_TIMEOUT, limits_.total_timeout_s);
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  set(CURLOPT_PROXY_SSL_VERIFYPEER, 1L);
  set(CURLOPT_PROXY_SSL_VERIFYHOST, 2L);
  std::string ca_file = CaFileOverride();
  if (!ca_file.empty()) {
    set(CURLOPT_CAINFO, ca_file.c_str());
    set(CURLOPT_PROXY_CAINFO, ca_file.c_str());
  }
  set(CURLOPT_WRITEFUNCTION, &HttpClient::Receive);
  set(CURLOPT_WRITEDATA, this);
  set(CURLOPT_PREREQFUNCTION, &HttpClient::BeforeEachRequest);
  set(CURLOPT_PREREQDATA, this);
  result.curl_code = c;
  return c == CURLE_OK;
}

bool HttpClient::ApplyProxy(const HttpRequest& request, HttpResult& result) {
  ProxyState system;
  const ProxyState* state = &proxy_;
  if (request.proxy == ProxyUse::kSystemWithoutCredentials) {
    internet::LoadSystemProxySettings(system, request.url);
    state = &system;
  } else if (!proxy_.unusable.empty() && !LoadProxySettings(settings_path_)) {
    // The host may have configured a proxy we cannot read: going direct or
    // through the system proxy could send around it. Read again each time,
    // so a repaired file takes effect with the next message.
    result.curl_code = CURLE_COULDNT_RESOLVE_PROXY;
    logger_->Error("HttpClient - not sent: the proxy settings cannot be read (%s)", proxy_.unusable.c_str());
    return false;
  } else if (!proxy_.configured) {
    // The system configuration may change between messages: read it for each one.
    proxy_.user_name.clear();
    if (!internet::LoadSystemProxySettings(proxy_, request.url)) {
      proxy_.mode = 0;
      logger_->Error(" failed retrieving system proxy settings");
    }
  }
  CURL* curl = curl_;
  bool named = (state->mode & kProxyNamed) && !state->proxy.empty();
  // Always set: curl would otherwise read the environment on its own.
  curl_easy_setopt(curl, CURLOPT_PROXY, named ? state->proxy.c_str() : "");
  curl_easy_setopt(curl, CURLOPT_NOPROXY, named ? state->bypass_list.c_str() : "");
  bool credentials = request.proxy == ProxyUse::kConfigured && state->mode != 0 && !state->user_name.empty();
  if (!credentials) return true;
  CURLcode c = curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, state->user_name.c_str());
  if (c == CURLE_OK) c = curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, state->password.c_str());
  if (c == CURLE_OK) c = curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CurlAuthOf(state->auth_scheme));
  if (c == CURLE_OK) return true;
  result.curl_code = c;
  logger_->Error("Failed setting Proxy credentials, error:%u (%s)", static_cast<unsigned>(c), curl_easy_strerror(c));
  return false;
}

int HttpClient::Perform(HttpResult& result) {
  if (!multi_ || curl_multi_add_handle(multi_, curl_) != CURLM_OK) return CURLE_FAILED_INIT;
  CURLcode code = CURLE_OK;
  for (bool done = false; !done;) {
    if (aborted_) {
      result.aborted = true;
      code = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    int running = 0;
    if (curl_multi_perform(multi_, &running) != CURLM_OK) {
      code = CURLE_OUT_OF_MEMORY;
      break;
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg == CURLMSG_DONE) {
        code = message->data.result;
        done = true;
      }
    }
    // Abort wakes this wait at once; libcurl shortens it to its own time-outs.
    if (!done) curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
  }
  // Removing an unfinished transfer closes its connection.
  curl_multi_remove_handle(multi_, curl_);
  return code;
}

HttpResult HttpClient::Get(const HttpRequest& request) {
  HttpResult result;
  result.url_code = CrackUrl(request.url).code;
  if (result.url_code != CURLUE_OK) {
    result.curl_code = CURLE_URL_MALFORMAT;
    result.error_text = curl_url_strerror(static_cast<CURLUcode>(result.url_code));
    return result;
  }
  if (!PrepareHandle(request, result) || !ApplyProxy(request, result)) {
    result.error_text = curl_easy_strerror(static_cast<CURLcode>(result.curl_code));
    return result;
  }
  char error_buffer[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, error_buffer);
  body_ = &result.body;
  truncated_ = false;
  requests_sent_ = 0;
  redirects_seen_ = 0;
  resend_refused_ = false;
  auto code = static_cast<CURLcode>(Perform(result));
  body_ = nullptr;
  curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &result.status);
  curl_easy_getinfo(curl_, CURLINFO_HTTP_CONNECTCODE, &result.proxy_status);
  if (code == CURLE_WRITE_ERROR && truncated_) {
    code = CURLE_OK;
    result.truncated = true;
    logger_->Warn("HttpClient - response from '%s' is longer than %zu bytes: only the first %zu bytes were kept",
                  MaskCredentials(request.url).c_str(), limits_.max_body_bytes, limits_.max_body_bytes);
  }
  result.curl_code = code;
  result.resend_refused = resend_refused_;
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

bool HttpClient::SendRequest(const std::string& url, std::string& response) {
  response.clear();
  const std::string shown = MaskCredentials(url);
  UrlParts parts = CrackUrl(url);
  if (parts.code != CURLUE_OK) {
    logger_->Error("Error %u in WinHttpCrackUrl, URL:'%s'", static_cast<unsigned>(parts.code), shown.c_str());
    return false;
  }
  HttpRequest request;
  request.url = url;
  HttpResult result = Get(request);
  auto code = static_cast<CURLcode>(result.curl_code);
  if (code == CURLE_FAILED_INIT) {
    logger_->Error("WinHttpOpen failed Error %u", static_cast<unsigned>(code));
    return false;
  }
  bool status_ok = result.status >= 200 && result.status <= 299;
  if (code != CURLE_OK) {
    double connect_time = 0;
    curl_easy_getinfo(curl_, CURLINFO_CONNECT_TIME, &connect_time);
    if (result.proxy_status >= 300) {
      // The proxy refused the tunnel (407: the credentials).
      logger_->Error("Status code error, value: %ld", result.proxy_status);
      logger_->Error("ReceiveResponse failed, Error %u", static_cast<unsigned>(code));
    } else if (status_ok) {
      // The answer began and then broke off: what arrived is the response.
      logger_->Error("Error %u in WinHttpReadData.\n", static_cast<unsigned>(code));
    } else if (result.headers_received()) {
      logger_->Error("Status code error, value: %ld", result.status);
      logger_->Error("ReceiveResponse failed, Error %u", static_cast<unsigned>(code));
    } else {
      switch (StepOf(code, connect_time)) {
        case Step::kConnect:
          logger_->Error("WinHttpConnect to '%s' on port: %d Failed, Error: %u", parts.host.c_str(),
                         static_cast<int>(parts.port), static_cast<unsigned>(code));
          break;
        case Step::kSend:
          logger_->Error("WinHttpSendRequest failed, Error %u", static_cast<unsigned>(code));
          break;
        case Step::kReceive:
          logger_->Error("WinHttpReceiveResponse failed, Error %u", static_cast<unsigned>(code));
          logger_->Error("ReceiveResponse failed, Error %u", static_cast<unsigned>(code));
          break;
      }
    }
    logger_->Error("HttpClient - request to '%s' failed: %s", shown.c_str(), result.error_text.c_str());
    if (!status_ok) return false;
  } else if (!status_ok) {
    logger_->Error("Status code error, value: %ld", result.status);
    logger_->Error("ReceiveResponse failed, Error %u", 0u);
    return false;
  } else {
    logger_->Info("Succesfully connected to ...Status Code 200");
  }
  response = std::move(result.body);
  return true;
}

}  // namespace talvenix::internet
