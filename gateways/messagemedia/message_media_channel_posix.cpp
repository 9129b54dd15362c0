// SPDX-License-Identifier: Apache-2.0
// The MessageMedia client's transport on POSIX: gSOAP's own sockets and
// OpenSSL, with socket hooks that keep every wait within the call's limits
// and let Stop shut the connection in use down from another thread (gSOAP
// itself would wait out the silence limit).

#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <optional>

#include "gateways/messagemedia/message_media_channel.hpp"
#include "support/environment_proxy.hpp"
#include "support/overrides.hpp"
#include "support/peer_text.hpp"

namespace talvenix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Limits = MessageMediaServiceAPIWrapper::Limits;

constexpr const char* kCaFileName = "cacerts.pem";
constexpr Clock::duration kFirstConnectSlice = milliseconds(250);
constexpr Clock::duration kLongestConnectSlice = std::chrono::seconds(2);
constexpr Clock::duration kConnectSliceMargin = milliseconds(20);
// A silent peer is waited for in slices this long, so a stop or the deadline ends the wait.
constexpr Clock::duration kWaitSlice = milliseconds(100);

// gSOAP time-outs: negative values are microseconds (at least one).
int SoapTimeout(Clock::duration wait) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(wait).count();
  return us >= INT_MAX ? INT_MIN + 1 : -static_cast<int>(std::max<decltype(us)>(us, 1));
}

// A peer that closes a kept-alive connection must not end the host's process
// with SIGPIPE: the signal is blocked on this thread for the call, and one it
// raised is taken off again (TLS writes cannot pass MSG_NOSIGNAL).
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeGuard() {
    sigset_t pending;
    sigpending(&pending);
    if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
      const timespec now{0, 0};
      sigtimedwait(&pipe_, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipe_, old_;
  bool was_pending_ = false;
};

}  // namespace

struct MessageMediaServiceAPIWrapper::Channel::Transport {
  explicit Transport(soap* s) : soap_(s) {
    s->user = this;
    s->socket_flags = MSG_NOSIGNAL;
    original_open = s->fopen;
    original_close = s->fclosesocket;
    original_recv = s->frecv;
    s->fopen = &Transport::Open;
    s->fclosesocket = &Transport::CloseSocket;
    s->frecv = &Transport::Recv;
  }

  // What the call may still take; zero when it must end now (why in `cut`).
  Clock::duration Remaining() {
    const auto now = Clock::now();
    std::lock_guard lock(socket_mutex);
    return end.Remaining(now);
  }

  // gSOAP's connect cannot be interrupted from another thread, so it runs in
  // slices within the connect time limit and an abort is seen within one. The
  // slices grow, so a slow network still gets long enough to answer. A TLS
  // handshake is reached through TlsProgress instead.
  static SOAP_SOCKET Open(soap* s, const char* endpoint, const char* host, int port) {
    auto* self = static_cast<Transport*>(s->user);
    const auto connect_end = Clock::now() + milliseconds(self->limits.connect_ms);
    SOAP_SOCKET socket = SOAP_INVALID_SOCKET;
    for (auto next_slice = kFirstConnectSlice;; next_slice = std::min(next_slice * 2, kLongestConnectSlice)) {
      const Clock::duration left = self->Remaining();
      if (left == Clock::duration::zero()) {
        soap_set_receiver_error(s, "Call cut short", nullptr, SOAP_TCP_ERROR);
        return SOAP_INVALID_SOCKET;
      }
      {
        std::lock_guard lock(self->socket_mutex);
        self->handshaking = false;
      }
      const auto began = Clock::now();
      const auto slice = std::min({connect_end - began, next_slice, left});
      if (slice <= Clock::duration::zero()) break;  // the last slice ran out: its error stands
      s->connect_timeout = SoapTimeout(slice);
      // The TLS handshake waits with this.
      s->recv_timeout = SoapTimeout(std::min<Clock::duration>(left, milliseconds(self->limits.silence_ms)));
      socket = self->original_open(s, endpoint, host, port);
      std::lock_guard lock(self->socket_mutex);
      self->socket = socket;  // also forgets a handshake socket gSOAP closed on failure
      if (soap_valid_socket(socket)) {
        if (self->end.StopCuts()) ::shutdown(socket, SHUT_RDWR);
        break;
      }
      // Only a connect that used its whole slice is tried again.
      if (self->handshaking || Clock::now() - began < slice - kConnectSliceMargin) break;
    }
    return socket;
  }

  // Called by OpenSSL on the context's connections: the handshake's socket
  // is known (and shut down on a stop) from its first step.
  static void TlsProgress(const SSL* ssl, int where, int) {
    if (!(where & SSL_CB_HANDSHAKE_START)) return;
    auto* self = static_cast<Transport*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (!self) return;
    std::lock_guard lock(self->socket_mutex);
    self->handshaking = true;
    self->socket = SSL_get_fd(ssl);
    if (self->end.StopCuts() && soap_valid_socket(self->socket)) ::shutdown(self->socket, SHUT_RDWR);
  }

  // Waits for the answer in slices, so a stop, the deadline or the silence
  // limit ends the wait, then reads what has come.
  static size_t Recv(soap* s, char* buffer, size_t length) {
    auto* self = static_cast<Transport*>(s->user);
    {
      // gSOAP reads only once the whole request is out.
      std::lock_guard lock(self->socket_mutex);
      self->end.request_sent = true;
    }
    const auto silent_end = Clock::now() + milliseconds(self->limits.silence_ms);
    Clock::duration left;
    for (;;) {
      left = self->Remaining();
      if (left == Clock::duration::zero()) return 0;
      if (s->ssl && SSL_pending(s->ssl) > 0) break;
      const auto now = Clock::now();
      if (now >= silent_end) {
        std::lock_guard lock(self->socket_mutex);
        self->end.cut = CallCut::kSilent;
        return 0;
      }
      const auto wait = std::min({kWaitSlice, left, silent_end - now});
      pollfd ready{s->socket, POLLIN, 0};
      const int r = ::poll(&ready, 1, static_cast<int>(std::chrono::ceil<milliseconds>(wait).count()));
      if (r > 0 || (r < 0 && errno != EINTR)) break;
    }
    // A TLS record may still be arriving: gSOAP's own wait stays within the limits too.
    s->recv_timeout = SoapTimeout(std::min<Clock::duration>(left, milliseconds(self->limits.silence_ms)));
    const size_t received = self->original_recv(s, buffer, length);
    if (received == 0) self->Remaining();  // notes a stop that shut the connection down
    return received;
  }

  static int CloseSocket(soap* s, SOAP_SOCKET socket) {
    auto* self = static_cast<Transport*>(s->user);
    {
      // Forgotten before it is closed, so Stop never shuts down a reused number.
      std::lock_guard lock(self->socket_mutex);
      if (self->socket == socket) self->socket = SOAP_INVALID_SOCKET;
    }
    return self->original_close(s, socket);
  }

  soap* soap_;
  std::string endpoint;  // the context's soap_endpoint points into it
  ProxyServer proxy;     // the proxy fields of the context point into it
  bool tls_ready = false;
  std::string tls_ca;  // the CA file the TLS context was made with ("" system bundle)
  std::optional<SigpipeGuard> no_sigpipe;

  // Limits of the call in progress, used by the calling thread only.
  Limits limits;

  std::mutex socket_mutex;  // guards what follows, shared with Stop
  SOAP_SOCKET socket = SOAP_INVALID_SOCKET;
  bool handshaking = false;  // the current connect reached its TLS handshake
  CallEnd end;

  SOAP_SOCKET (*original_open)(soap*, const char*, const char*, int) = nullptr;
  int (*original_close)(soap*, SOAP_SOCKET) = nullptr;
  size_t (*original_recv)(soap*, char*, size_t) = nullptr;
};

MessageMediaServiceAPIWrapper::Channel::Channel()
    : binding(SOAP_IO_KEEPALIVE | SOAP_C_UTFSTRING | SOAP_XML_STRICT, SOAP_IO_KEEPALIVE | SOAP_C_UTFSTRING),
      transport(std::make_unique<Transport>(binding.soap)) {
  static std::once_flag ssl_once;
  std::call_once(ssl_once, [] { soap_ssl_init(); });
}

MessageMediaServiceAPIWrapper::Channel::~Channel() {
  // The context's hooks reach the transport: a kept connection is closed
  // while it is there.
  binding.soap_force_close_socket();
}

bool MessageMediaServiceAPIWrapper::Channel::BeginCall(const std::string& endpoint, const std::string& ca_folder,
                                                       const Limits& limits, bool stops_at_once, std::string& error) {
  Transport& t = *transport;
  soap* s = binding.soap;
  t.no_sigpipe.emplace();
  t.limits = limits;
  // Requests are small enough for the socket's buffer: only a peer that
  // takes nothing at all makes a write wait.
  s->send_timeout = SoapTimeout(milliseconds(limits.silence_ms));
  // gSOAP counts the answer's bytes, after any decompression.
  s->recv_maxlength = limits.max_answer_bytes;
  {
    std::lock_guard lock(t.socket_mutex);
    t.end.Begin(Clock::now() + milliseconds(limits.total_ms), stops_at_once);
  }
  t.endpoint = endpoint;
  binding.soap_endpoint = t.endpoint.c_str();

  std::optional<ProxyServer> proxy = EnvironmentProxyFor(t.endpoint);
  t.proxy = proxy ? *proxy : ProxyServer{};
  s->proxy_host = proxy ? t.proxy.host.c_str() : nullptr;
  s->proxy_port = proxy ? t.proxy.port : 8080;
  s->proxy_userid = proxy && !t.proxy.user.empty() ? t.proxy.user.c_str() : nullptr;
  s->proxy_passwd = proxy && !t.proxy.user.empty() ? t.proxy.password.c_str() : nullptr;

  if (t.endpoint.compare(0, 8, "https://") != 0) return true;
  std::string ca = CaFileOverride();
  if (ca.empty()) {
    std::filesystem::path beside = std::filesystem::path(ca_folder.empty() ? "." : ca_folder) / kCaFileName;
    std::error_code ignored;
    if (std::filesystem::is_regular_file(beside, ignored)) ca = beside.string();
  }
  if (t.tls_ready && t.tls_ca == ca) return true;
  if (t.tls_ready) {
    // Another CA file: a fresh TLS context, and no connection of the old one.
    binding.soap_close_socket();
    if (s->ctx) SSL_CTX_free(s->ctx);
    s->ctx = nullptr;
    t.tls_ready = false;
  }
  if (soap_ssl_client_context(s, SOAP_SSL_DEFAULT, nullptr, nullptr, ca.empty() ? nullptr : ca.c_str(), nullptr,
                              nullptr) != SOAP_OK) {
    const char* why = binding.soap_fault_string();
    error = "[" + (ca.empty() ? std::string("system CA bundle") : ca) + "] >> " + (why ? PeerText(why) : "unknown");
    EndCall(true);
    return false;
  }
  if (ca.empty() && s->ctx) SSL_CTX_set_default_verify_paths(s->ctx);
  if (s->ctx) {
    SSL_CTX_set_app_data(s->ctx, &t);
    SSL_CTX_set_info_callback(s->ctx, &Transport::TlsProgress);
  }
  t.tls_ready = true;
  t.tls_ca = ca;
  return true;
}

void MessageMediaServiceAPIWrapper::Channel::EndCall(bool failed) {
  if (failed) binding.soap_force_close_socket();
  binding.destroy();
  transport->no_sigpipe.reset();
}

std::string MessageMediaServiceAPIWrapper::Channel::FailureText() {
  CallCut cut;
  {
    std::lock_guard lock(transport->socket_mutex);
    cut = transport->end.cut;
  }
  return CallFailureText(cut, transport->limits, binding.soap);
}

TransportOutcome MessageMediaServiceAPIWrapper::Channel::Outcome() {
  std::lock_guard lock(transport->socket_mutex);
  return CallOutcome(transport->end, binding.soap);
}

void MessageMediaServiceAPIWrapper::Channel::Stop() {
  Transport& t = *transport;
  std::lock_guard lock(t.socket_mutex);
  t.end.Stop(Clock::now());
  if (t.end.StopCuts() && soap_valid_socket(t.socket)) ::shutdown(t.socket, SHUT_RDWR);
}

void MessageMediaServiceAPIWrapper::Channel::Resume() {
  std::lock_guard lock(transport->socket_mutex);
  transport->end.stopping = false;
}

bool MessageMediaServiceAPIWrapper::Channel::Stopping() {
  std::lock_guard lock(transport->socket_mutex);
  return transport->end.stopping;
}

}  // namespace talvenix
