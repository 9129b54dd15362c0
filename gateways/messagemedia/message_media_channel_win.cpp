// SPDX-License-Identifier: Apache-2.0
// The MessageMedia client's transport on Windows. gSOAP writes the request
// and reads the answer as usual, but its I/O callbacks carry them through
// WinHTTP, so Windows' own TLS and root store apply: the post callback only
// notes the path and the SOAP action, the body gSOAP sends is collected and
// goes out as one POST when gSOAP starts reading, and the answer reaches
// gSOAP as a status line and its content type followed by the body WinHTTP
// has already decoded. Each step runs asynchronously while the calling thread
// waits for its completion, so Stop and the whole-call limit end a wait at
// once by closing the request handle. Every call has a connection of its own
// (keep-alive off): WinHTTP would send a request again by itself on a kept
// connection that died, and a message must never go out twice.
//
// The proxy: the environment's (with its credentials, as on POSIX) when one
// is set, else the user's named system proxy.

// gSOAP's header first: it brings in <winsock2.h> before <windows.h>.
#include "gateways/messagemedia/message_media_channel.hpp"
#include "platform/winhttp_win.hpp"
// clang-format off
#include <wincrypt.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include "platform/wide_text_win.hpp"
#include "support/environment_proxy.hpp"

namespace talvenix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Limits = MessageMediaServiceAPIWrapper::Limits;
using platform::CloseInternet;
using platform::Wide;
using platform::WinHttpCall;

// gSOAP takes any valid socket as "connected"; this one stands for the
// WinHTTP request and is never handed to Winsock.
constexpr SOAP_SOCKET kWinHttpSocket = 1;

// The text of a WinHTTP error, with its code.
std::string WinHttpErrorText(DWORD code) {
  std::string text = platform::WinHttpMessage(code);
  while (!text.empty() && text.back() == '.') text.pop_back();
  return "WinHTTP error " + std::to_string(code) + (text.empty() ? std::string() : ": " + text);
}

std::wstring Base64(const std::string& bytes) {
  DWORD size = 0;
  const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  if (!CryptBinaryToStringW(data, static_cast<DWORD>(bytes.size()), flags, nullptr, &size)) return {};
  std::wstring text(size, L'\0');
  if (!CryptBinaryToStringW(data, static_cast<DWORD>(bytes.size()), flags, text.data(), &size)) return {};
  text.resize(size);
  return text;
}

}  // namespace

struct MessageMediaServiceAPIWrapper::Channel::Transport {
  explicit Transport(soap* s) : stop_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    s->user = this;
    s->fopen = &Transport::Open;
    s->fpost = &Transport::Post;
    s->fsend = &Transport::Send;
    s->frecv = &Transport::Recv;
    s->fclose = &Transport::Close;
    s->fclosesocket = &Transport::CloseSocket;
    s->fshutdownsocket = &Transport::Shutdown;
    s->fpoll = nullptr;
  }
  ~Transport() {
    CloseCall();
    if (stop_event) ::CloseHandle(stop_event);
  }

  // What the call may still wait; zero when it must end now (why in `cut`).
  Clock::duration Remaining() {
    const auto now = Clock::now();
    std::lock_guard lock(mutex);
    return end.Remaining(now);
  }

  // Operations start on the request while Stop may close it.
  template <typename Start>
  bool StartOperation(Start start) {
    return platform::StartOperation(mutex, request, start);
  }

  // Waits for the completion of the operation just started, at most
  // `step_limit` (WinHTTP's own time-outs are not relied on): true when it
  // succeeded; false (the request closed, the reason noted) when it failed,
  // Stop cut it or the call or the step ran out of time.
  bool Wait(Clock::duration step_limit) {
    const auto step_end = Clock::now() + step_limit;
    for (;;) {
      const Clock::duration left = std::min(Remaining(), step_end - Clock::now());
      if (left <= Clock::duration::zero()) {
        std::lock_guard lock(mutex);
        if (end.cut == CallCut::kNone) end.cut = CallCut::kSilent;
        break;
      }
      HANDLE events[] = {call->done, stop_event};
      const DWORD count = end.cut_on_stop ? 2 : 1;
      const auto ms = std::chrono::ceil<milliseconds>(left).count();
      const DWORD woke = WaitForMultipleObjects(count, events, FALSE, static_cast<DWORD>(ms));
      if (woke != WAIT_OBJECT_0) continue;  // stopped or timed out: the next round says which
      if (call->completion != WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) return true;
      NoteError(call->error);
      break;
    }
    CloseRequest();
    return false;
  }

  // Runs one asynchronous step: starts it and waits for it. A step that
  // waits for the peer may take the silence limit; sending the request
  // (connecting and the TLS handshake included) the connect limit as well.
  template <typename Start>
  bool Run(Start start, bool connects = false) {
    const Clock::duration limit = milliseconds(limits.silence_ms + (connects ? limits.connect_ms : 0));
    if (StartOperation(start)) return Wait(limit);
    NoteError(GetLastError());
    CloseRequest();
    return false;
  }

  void NoteError(DWORD code) {
    if (code == ERROR_WINHTTP_OPERATION_CANCELLED && Remaining() == Clock::duration::zero()) return;
    if (code == ERROR_WINHTTP_TIMEOUT && call && call->sent) {
      std::lock_guard lock(mutex);
      end.cut = CallCut::kSilent;
      return;
    }
    if (failure.empty()) failure = WinHttpErrorText(code);
  }

  void CloseRequest() { platform::CloseRequest(mutex, request); }

  // Ends the request of the call and forgets its state.
  void CloseCall() {
    CloseRequest();
    CloseInternet(connection);
    if (call) call->Release();
    call = nullptr;
    body.clear();
    answer_head.clear();
    head_at = 0;
    started = false;
    finished = false;
  }

  // Opens the request: the connection to the endpoint's host, through the proxy.
  bool OpenRequest() {
    // The environment's proxy, else the user's named one.
    std::wstring proxy_name, bypass;
    platform::UserProxySettings user;
    if (proxy) {
      proxy_name = Wide(proxy->host + ":" + std::to_string(proxy->port));
    } else if (platform::LoadUserProxySettings(user)) {
      proxy_name = user.proxy;
      bypass = user.bypass;
    }
    const DWORD access = proxy_name.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    const WINHTTP_PROXY_INFO info{access, proxy_name.empty() ? nullptr : proxy_name.data(),
                                  bypass.empty() ? nullptr : bypass.data()};
    HINTERNET s = session.Open(L"gSOAP/2.8", info);
    if (!s) return Failed(GetLastError());
    connection = WinHttpConnect(s, Wide(host).c_str(), static_cast<INTERNET_PORT>(port), 0);
    if (!connection) return Failed(GetLastError());
    HINTERNET handle =
        WinHttpOpenRequest(connection, L"POST", Wide(path).c_str(), nullptr, WINHTTP_NO_REFERER,
                           WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_REFRESH | (secure ? WINHTTP_FLAG_SECURE : 0));
    if (!handle) return Failed(GetLastError());
    call = new WinHttpCall;
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(call);
    DWORD no_keep_alive = WINHTTP_DISABLE_KEEP_ALIVE;
    DWORD redirects = WINHTTP_DISABLE_REDIRECTS;
    const int silence = static_cast<int>(limits.silence_ms);
    if (!WinHttpSetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
      DWORD error = GetLastError();
      WinHttpCloseHandle(handle);
      call->Release();  // the handle never reported with this state
      return Failed(error);
    }
    {
      std::lock_guard lock(mutex);
      request = handle;
    }
    // From here the request handle is closed by CloseRequest (or Stop), and
    // the handle's reference to the call state is released by its closing notification.
    if (!StartOperation([&](HINTERNET r) {
          return WinHttpSetOption(r, WINHTTP_OPTION_DISABLE_FEATURE, &no_keep_alive, sizeof no_keep_alive) &&
                 WinHttpSetOption(r, WINHTTP_OPTION_DISABLE_FEATURE, &redirects, sizeof redirects) &&
                 WinHttpSetTimeouts(r, 0, static_cast<int>(limits.connect_ms), silence, silence);
        }))
      return Failed(GetLastError());
    return true;
  }

  bool Failed(DWORD error) {
    NoteError(error);
    return false;
  }

  // Sends the collected request and waits for the answer's headers; the
  // status line and content type are what gSOAP reads first.
  bool Exchange() {
    started = true;
    if (Remaining() == Clock::duration::zero()) return false;
    if (!OpenRequest()) {
      CloseRequest();
      return false;
    }
    std::wstring headers = L"Content-Type: text/xml; charset=utf-8\r\nSOAPAction: \"" + Wide(action) + L"\"\r\n";
    // The proxy's Basic credentials: for a plain request in a header of its
    // own, since a proxy that refuses it without them may close the
    // connection while the body is still on its way, before its challenge
    // could be read; for a tunnel, WinHTTP's, since headers of ours would go
    // to the server at the tunnel's end, and a CONNECT has no body.
    const bool credentials = proxy && !proxy->user.empty();
    if (credentials && !secure)
      headers += L"Proxy-Authorization: Basic " + Base64(proxy->user + ":" + proxy->password) + L"\r\n";
    const DWORD_PTR context = reinterpret_cast<DWORD_PTR>(call);
    DWORD status = 0;
    for (int round = 0; round < 2; ++round) {
      if (credentials && secure && !StartOperation([&](HINTERNET r) {
            return WinHttpSetCredentials(r, WINHTTP_AUTH_TARGET_PROXY, WINHTTP_AUTH_SCHEME_BASIC,
                                         Wide(proxy->user).c_str(), Wide(proxy->password).c_str(), nullptr);
          })) {
        NoteError(GetLastError());
        CloseRequest();
        return false;
      }
      if (!Run(
              [&](HINTERNET r) {
                return WinHttpSendRequest(r, headers.c_str(), static_cast<DWORD>(headers.size()), body.data(),
                                          static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), context);
              },
              true))
        return false;
      {
        std::lock_guard lock(mutex);
        end.request_sent = true;  // headers and body went out in that one call
      }
      if (!Run([](HINTERNET r) { return WinHttpReceiveResponse(r, nullptr); })) return false;
      DWORD size = sizeof status;
      StartOperation([&](HINTERNET r) {
        return WinHttpQueryHeaders(r, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                   WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
      });
      // A tunnel's proxy that challenged first gets the credentials once more.
      if (status != HTTP_STATUS_PROXY_AUTH_REQ || !credentials || !secure) break;
    }
    wchar_t type[256] = {};
    DWORD type_size = sizeof type;
    if (!StartOperation([&](HINTERNET r) {
          return WinHttpQueryHeaders(r, WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX, type, &type_size,
                                     WINHTTP_NO_HEADER_INDEX);
        }))
      type[0] = 0;
    answer_head = "HTTP/1.1 " + std::to_string(status) + " \r\nContent-Type: " + platform::Utf8(type) + "\r\n\r\n";
    return true;
  }

  // Up to `length` bytes of the answer's body; 0 at its end or on a failure.
  size_t ReadBody(char* buffer, size_t length) {
    if (finished) return 0;
    if (!Run([](HINTERNET r) { return WinHttpQueryDataAvailable(r, nullptr); }) || call->bytes == 0) {
      finished = true;
      return 0;
    }
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(call->bytes, length));
    if (!Run([&](HINTERNET r) { return WinHttpReadData(r, buffer, chunk, nullptr); }) || call->bytes == 0) {
      finished = true;
      return 0;
    }
    return call->bytes;
  }

  static SOAP_SOCKET Open(soap* s, const char* endpoint, const char* host, int port) {
    auto* self = static_cast<Transport*>(s->user);
    self->CloseCall();
    self->secure = std::strncmp(endpoint, "https:", 6) == 0;
    self->host = host;
    self->port = port;
    return kWinHttpSocket;
  }

  static int Post(soap* s, const char*, const char*, int, const char* path, const char* action, ULONG64) {
    auto* self = static_cast<Transport*>(s->user);
    // gSOAP's path may come without its leading slash.
    self->path = std::string(path && *path == '/' ? "" : "/") + (path ? path : "");
    self->action = action ? action : "";
    return SOAP_OK;
  }

  static int Send(soap* s, const char* data, size_t length) {
    auto* self = static_cast<Transport*>(s->user);
    if (self->started) return SOAP_EOF;  // a request goes out once
    self->body.append(data, length);
    return SOAP_OK;
  }

  static size_t Recv(soap* s, char* buffer, size_t length) {
    auto* self = static_cast<Transport*>(s->user);
    if (!self->started && !self->Exchange()) return 0;
    if (self->head_at < self->answer_head.size()) {
      const size_t n = std::min(length, self->answer_head.size() - self->head_at);
      std::memcpy(buffer, self->answer_head.data() + self->head_at, n);
      self->head_at += n;
      return n;
    }
    return self->ReadBody(buffer, length);
  }

  static int Close(soap* s) {
    static_cast<Transport*>(s->user)->CloseCall();
    s->socket = SOAP_INVALID_SOCKET;
    return SOAP_OK;
  }

  static int CloseSocket(soap* s, SOAP_SOCKET) {
    static_cast<Transport*>(s->user)->CloseCall();
    return SOAP_OK;
  }

  static int Shutdown(soap*, SOAP_SOCKET, int) { return SOAP_OK; }

  platform::WinHttpSession session;
  HINTERNET connection = nullptr;
  WinHttpCall* call = nullptr;
  HANDLE stop_event;  // manual-reset: set by Stop until Resume

  // The call in progress, used by the calling thread only.
  Limits limits;
  std::string endpoint;  // the context's soap_endpoint points into it
  std::optional<ProxyServer> proxy;
  bool secure = false;
  std::string host;
  int port = 0;
  std::string path, action, body;  // the request gSOAP wrote
  std::string answer_head;         // the status line and headers gSOAP reads first
  size_t head_at = 0;
  bool started = false;   // the request went to WinHTTP
  bool finished = false;  // the body has been read to its end
  std::string failure;    // the WinHTTP error of the call

  std::mutex mutex;  // guards what follows, shared with Stop
  HINTERNET request = nullptr;
  CallEnd end;
};

MessageMediaServiceAPIWrapper::Channel::Channel()
    : binding(SOAP_C_UTFSTRING | SOAP_XML_STRICT, SOAP_C_UTFSTRING),
      transport(std::make_unique<Transport>(binding.soap)) {}

MessageMediaServiceAPIWrapper::Channel::~Channel() {
  // The context's hooks reach the transport: the call is ended while it is there.
  binding.soap_force_close_socket();
  binding.soap->fclose = nullptr;
}

bool MessageMediaServiceAPIWrapper::Channel::BeginCall(const std::string& endpoint, const std::string&,
                                                       const Limits& limits, bool stops_at_once, std::string&) {
  Transport& t = *transport;
  t.limits = limits;
  t.failure.clear();
  binding.soap->recv_maxlength = limits.max_answer_bytes;
  {
    std::lock_guard lock(t.mutex);
    t.end.Begin(Clock::now() + milliseconds(limits.total_ms), stops_at_once);
  }
  t.endpoint = endpoint;
  t.proxy = EnvironmentProxyFor(endpoint);
  binding.soap_endpoint = t.endpoint.c_str();
  return true;
}

void MessageMediaServiceAPIWrapper::Channel::EndCall(bool) {
  binding.soap_force_close_socket();
  binding.destroy();
}

std::string MessageMediaServiceAPIWrapper::Channel::FailureText() {
  CallCut cut;
  {
    std::lock_guard lock(transport->mutex);
    cut = transport->end.cut;
  }
  if (cut == CallCut::kNone && !transport->failure.empty()) return transport->failure;
  return CallFailureText(cut, transport->limits, binding.soap);
}

TransportOutcome MessageMediaServiceAPIWrapper::Channel::Outcome() {
  std::lock_guard lock(transport->mutex);
  return CallOutcome(transport->end, binding.soap);
}

void MessageMediaServiceAPIWrapper::Channel::Stop() {
  Transport& t = *transport;
  std::lock_guard lock(t.mutex);
  t.end.Stop(Clock::now());
  SetEvent(t.stop_event);
  // Closing the handle cancels what WinHTTP is doing for it.
  if (t.end.cut_on_stop) CloseInternet(t.request);
}

void MessageMediaServiceAPIWrapper::Channel::Resume() {
  Transport& t = *transport;
  std::lock_guard lock(t.mutex);
  t.end.stopping = false;
  ResetEvent(t.stop_event);
}

bool MessageMediaServiceAPIWrapper::Channel::Stopping() {
  std::lock_guard lock(transport->mutex);
  return transport->end.stopping;
}

}  // namespace talvenix
