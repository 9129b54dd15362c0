// SPDX-License-Identifier: Apache-2.0
// The HTTP client over WinHTTP. The client keeps an asynchronous session
// while the proxy stays the same; the proxy is set on the session, where every
// WinHTTP honours it. Every request goes out on a connection of its own
// (keep-alive off): WinHTTP sends a request again by itself when a kept
// connection turns out dead, and nothing outside it can stop that, while a
// message must never reach the provider twice. Each request runs asynchronously while the calling thread waits
// for its completions, so Abort and the whole-call limit can end a wait at
// once by closing the request handle.

#include <algorithm>
#include <chrono>
#include <mutex>

#include "gateways/internet/http_client.hpp"
#include "platform/wide_text_win.hpp"
#include "platform/winhttp_win.hpp"

namespace talvenix::internet {
namespace {

using platform::CloseInternet;
using platform::Wide;
using platform::WinHttpCall;

// The text of a WinHTTP error.
std::string WinHttpErrorText(DWORD code) {
  std::string text = platform::WinHttpMessage(code);
  return text.empty() ? "WinHTTP error " + std::to_string(code) : text;
}

struct CrackedUrl {
  DWORD error = 0;
  bool secure = false;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring object;  // path and query
};

CrackedUrl Crack(const std::string& url) {
  CrackedUrl cracked;
  std::wstring wide = Wide(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = DWORD(-1);
  if (!WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts)) {
    cracked.error = GetLastError();
    return cracked;
  }
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    cracked.error = ERROR_WINHTTP_UNRECOGNIZED_SCHEME;
    return cracked;
  }
  cracked.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  cracked.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  cracked.port = parts.nPort;
  cracked.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  cracked.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (cracked.object.empty()) cracked.object = L"/";
  return cracked;
}

// The step a WinHTTP error belongs to, for one that occurred during `step`
// before (or after) the request went out.
HttpFailure FailureOf(DWORD error, HttpFailure step, bool sent) {
  switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return HttpFailure::kConnect;
    case ERROR_WINHTTP_TIMEOUT:
      return sent ? step : HttpFailure::kConnect;
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
      return HttpFailure::kSend;
    default:
      return step;
  }
}

}  // namespace

struct HttpClient::Transport {
  Transport() : abort_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Transport() {
    CloseInternet(lookup_session);
    if (abort_event) ::CloseHandle(abort_event);
  }
  bool Aborted() const { return WaitForSingleObject(abort_event, 0) == WAIT_OBJECT_0; }
  // Operations start on the request while Abort may close it.
  template <typename Start>
  bool StartOperation(Start start) {
    return platform::StartOperation(mutex, request, start);
  }
  void CloseRequest() { platform::CloseRequest(mutex, request); }

  platform::WinHttpSession session;
  HINTERNET lookup_session = nullptr;  // synchronous, for automatic proxy lookups
  HANDLE abort_event;                  // manual-reset: set by Abort until Resume
  std::mutex mutex;                    // guards `request` against Abort
  HINTERNET request = nullptr;         // the request under way
};

const int HttpClient::kBadUrlCode = ERROR_WINHTTP_INVALID_URL;

HttpClient::HttpClient(ILogInterface* logger, HttpLimits limits)
    : logger_(logger), limits_(limits), transport_(std::make_unique<Transport>()) {}

HttpClient::~HttpClient() = default;

void HttpClient::Abort() {
  SetEvent(transport_->abort_event);
  // Closing the handle cancels what WinHTTP is doing for it.
  transport_->CloseRequest();
}

void HttpClient::Resume() { ResetEvent(transport_->abort_event); }

HttpClient::UrlParts HttpClient::CrackUrl(const std::string& url) {
  CrackedUrl cracked = Crack(url);
  return {static_cast<int>(cracked.error), platform::Utf8(cracked.host), cracked.port};
}

bool LoadSystemProxySettings(ProxyState& state, std::string_view) {
  platform::UserProxySettings config;
  if (!platform::LoadUserProxySettings(config)) return false;
  // What the configuration no longer gives is gone from the state too.
  state.proxy = platform::Utf8(config.proxy);
  state.auto_config_url = platform::Utf8(config.auto_config_url);
  state.bypass_list = platform::Utf8(config.bypass);
  state.mode = (state.proxy.empty() ? 0 : kProxyNamed) | (state.auto_config_url.empty() ? 0 : kProxyAutoConfigUrl) |
               (config.auto_detect ? kProxyAutoDetect : 0);
  return true;
}

namespace {

// The automatic proxy for `url`; false when there is none or the lookup failed.
bool LookUpProxy(HINTERNET& lookup_session, const std::string& url, const ProxyState& state, bool auto_logon,
                 WINHTTP_PROXY_INFO& info) {
  if (!lookup_session)
    lookup_session = WinHttpOpen(L"", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (!lookup_session) return false;
  std::wstring config_url = Wide(state.auto_config_url);
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (state.mode & kProxyAutoDetect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  if ((state.mode & kProxyAutoConfigUrl) && !config_url.empty()) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = config_url.c_str();
  }
  options.fAutoLogonIfChallenged = auto_logon;
  return options.dwFlags != 0 && WinHttpGetProxyForUrl(lookup_session, Wide(url).c_str(), &options, &info);
}

}  // namespace

HttpResult HttpClient::Get(const HttpRequest& request) {
  HttpResult result;
  Transport& t = *transport_;
  auto fail = [&result](HttpFailure failure, DWORD error) {
    result.failure = failure;
    result.code = static_cast<int>(error);
    result.error_text = WinHttpErrorText(error);
    return result;
  };
  CrackedUrl url = Crack(request.url);
  if (url.error) return fail(HttpFailure::kBadUrl, url.error);
  if (t.Aborted()) {
    result.aborted = true;
    fail(HttpFailure::kReceive, ERROR_WINHTTP_OPERATION_CANCELLED);
    result.error_text = "the request was aborted";
    return result;
  }
  ProxyState system;
  const ProxyState* proxy = ProxyFor(request, system);
  if (!proxy) return fail(HttpFailure::kConnect, ERROR_WINHTTP_NAME_NOT_RESOLVED);
  // Automatic configuration first, then the named proxy, else direct.
  WINHTTP_PROXY_INFO looked_up{};
  bool automatic = (proxy->mode & (kProxyAutoConfigUrl | kProxyAutoDetect)) &&
                   LookUpProxy(t.lookup_session, request.url, *proxy,
                               request.proxy == ProxyUse::kSystemWithoutCredentials, looked_up);
  std::wstring name = Wide(proxy->proxy), bypass = Wide(proxy->bypass_list);
  WINHTTP_PROXY_INFO named{WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr};
  if ((proxy->mode & kProxyNamed) && !name.empty())
    named = {WINHTTP_ACCESS_TYPE_NAMED_PROXY, name.data(), bypass.empty() ? nullptr : bypass.data()};
  auto ms = [](long s) { return static_cast<int>(s * 1000); };
  const platform::WinHttpTimeouts timeouts{0, ms(limits_.connect_timeout_s), ms(limits_.idle_timeout_s),
                                           ms(limits_.idle_timeout_s)};
  HINTERNET session = t.session.Open(Wide(request.user_agent), automatic ? looked_up : named, &timeouts);
  DWORD session_error = GetLastError();
  if (looked_up.lpszProxy) GlobalFree(looked_up.lpszProxy);
  if (looked_up.lpszProxyBypass) GlobalFree(looked_up.lpszProxyBypass);
  if (!session) return fail(HttpFailure::kSetUp, session_error);
  HINTERNET connection = WinHttpConnect(session, url.host.c_str(), url.port, 0);
  if (!connection) return fail(HttpFailure::kConnect, GetLastError());
  HINTERNET handle =
      WinHttpOpenRequest(connection, L"GET", url.object.c_str(), nullptr, WINHTTP_NO_REFERER,
                         WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_REFRESH | (url.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!handle) {
    DWORD error = GetLastError();
    CloseInternet(connection);
    return fail(HttpFailure::kSetUp, error);
  }
  auto* call = new WinHttpCall;
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(call);
  DWORD no_keep_alive = WINHTTP_DISABLE_KEEP_ALIVE;
  if (!WinHttpSetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) ||
      !WinHttpSetOption(handle, WINHTTP_OPTION_DISABLE_FEATURE, &no_keep_alive, sizeof no_keep_alive)) {
    DWORD error = GetLastError();
    WinHttpCloseHandle(handle);
    CloseInternet(connection);
    call->Release();  // the handle never reported with this state
    call->Release();
    return fail(HttpFailure::kSetUp, error);
  }
  {
    std::lock_guard lock(t.mutex);
    t.request = handle;
  }
  // From here the request handle is closed by CloseRequest (or Abort), and
  // the call state is released by its closing notification.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limits_.total_timeout_s);
  // Waits for the completion of the operation just started: true when it
  // succeeded; false when it failed, Abort ended it or the call ran too long.
  auto wait = [&](HttpFailure step) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    HANDLE events[] = {call->done, t.abort_event};
    DWORD woke = WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(std::max<long long>(left.count(), 0)));
    if (woke == WAIT_OBJECT_0 && call->completion != WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) return true;
    t.CloseRequest();
    if (woke == WAIT_OBJECT_0 + 1 || (woke == WAIT_OBJECT_0 && t.Aborted())) {
      result.aborted = true;
      fail(HttpFailure::kReceive, ERROR_WINHTTP_OPERATION_CANCELLED);
    } else if (woke == WAIT_OBJECT_0) {
      fail(FailureOf(call->error, step, call->sent), call->error);
    } else {
      fail(FailureOf(ERROR_WINHTTP_TIMEOUT, HttpFailure::kReceive, call->sent), ERROR_WINHTTP_TIMEOUT);
    }
    return false;
  };
  auto start_failed = [&](HttpFailure step) {
    DWORD error = GetLastError();
    t.CloseRequest();
    if (t.Aborted()) {
      result.aborted = true;
      error = ERROR_WINHTTP_OPERATION_CANCELLED;
    }
    fail(step, error);
    return false;
  };
  // Starts an asynchronous operation on the request and waits for it.
  auto run = [&](HttpFailure step, auto start) { return t.StartOperation(start) ? wait(step) : start_failed(step); };

  bool ok = true;
  DWORD redirect_policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
  if (!t.StartOperation([&](HINTERNET r) {
        return WinHttpSetOption(r, WINHTTP_OPTION_REDIRECT_POLICY, &redirect_policy, sizeof redirect_policy);
      }))
    ok = start_failed(HttpFailure::kSetUp);

  bool credentials = UsesCredentials(request, *proxy);
  std::wstring user = Wide(proxy->user_name), password = Wide(proxy->password);
  DWORD scheme = proxy->auth_scheme == kProxyAuthDigest ? WINHTTP_AUTH_SCHEME_DIGEST : WINHTTP_AUTH_SCHEME_BASIC;
  auto set_credentials = [&] {
    return t.StartOperation([&](HINTERNET r) {
      return WinHttpSetCredentials(r, WINHTTP_AUTH_TARGET_PROXY, scheme, user.c_str(), password.c_str(), nullptr);
    });
  };
  if (ok && credentials && !set_credentials()) {
    DWORD error = GetLastError();
    logger_->Error("Failed setting Proxy credentials, error:%u (%s)", static_cast<unsigned>(error),
                   WinHttpErrorText(error).c_str());
    SetLastError(error);
    ok = start_failed(HttpFailure::kSend);
  }

  std::wstring headers;
  for (const std::string& h : request.headers) headers += Wide(h) + L"\r\n";
  // One round, and a second only when the proxy asks for the credentials
  // (a Digest challenge): that request is one the proxy asked for.
  for (int round = 0; ok && round < 2; ++round) {
    call->sent = false;
    ok = run(HttpFailure::kSend,
             [&](HINTERNET r) {
               return WinHttpSendRequest(r, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                                         static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, context);
             }) &&
         run(HttpFailure::kReceive, [](HINTERNET r) { return WinHttpReceiveResponse(r, nullptr); });
    if (!ok) break;
    DWORD status = 0, size = sizeof status;
    t.StartOperation([&](HINTERNET r) {
      return WinHttpQueryHeaders(r, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                                 &status, &size, WINHTTP_NO_HEADER_INDEX);
    });
    result.status = status;
    if (status != HTTP_STATUS_PROXY_AUTH_REQ || !credentials || round > 0 || !set_credentials()) break;
  }

  // The body, up to the limit.
  while (ok) {
    ok = run(HttpFailure::kReceive, [](HINTERNET r) { return WinHttpQueryDataAvailable(r, nullptr); });
    if (!ok || call->bytes == 0) break;
    size_t room = limits_.max_body_bytes - result.body.size();
    if (room == 0) {
      result.truncated = true;
      LogTruncated(request.url);
      break;
    }
    size_t offset = result.body.size();
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(call->bytes, room));
    result.body.resize(offset + chunk);
    ok = run(HttpFailure::kReceive,
             [&](HINTERNET r) { return WinHttpReadData(r, &result.body[offset], chunk, nullptr); });
    result.body.resize(offset + (ok ? call->bytes : 0));
    if (ok && call->bytes == 0) break;
  }

  if (result.aborted) result.error_text = "the request was aborted";
  t.CloseRequest();
  CloseInternet(connection);
  call->Release();
  return result;
}

}  // namespace talvenix::internet
