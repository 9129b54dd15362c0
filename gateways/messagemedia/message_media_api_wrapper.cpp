#include "gateways/messagemedia/message_media_api_wrapper.hpp"

#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <vector>

#include "contract/received_message.hpp"
#include "soapMessageMediaServiceBindingProxy.h"
#include "support/environment_proxy.hpp"
#include "support/overrides.hpp"
#include "support/peer_text.hpp"
#include "support/text_codec.hpp"

namespace talvenix {

using MessageMediaServiceBinding = MessageMediaServiceBindingProxy;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The five error codes of a sendMessages answer, in their documented order.
struct ErrorText {
  const char* code;
  const char* text;
};
constexpr ErrorText kErrorTexts[] = {
    {"invalidRecipient", "Invalid recipient"},
    {"recipientBlocked", "Recipient blocked"},
    {"emptyMessageContent", "Empty message content"},
    {"messageLengthLimit", "Message length limit"},
    {"other", "Other (Please contact MessageMedia to check this error)"},
};

constexpr const char* kCaFileName = "cacerts.pem";
constexpr Clock::duration kFirstConnectSlice = milliseconds(250);
constexpr Clock::duration kLongestConnectSlice = std::chrono::seconds(2);
constexpr Clock::duration kConnectSliceMargin = milliseconds(20);
// A silent peer is waited for in slices this long, so a stop or the deadline ends the wait.
constexpr Clock::duration kWaitSlice = milliseconds(100);

// The account element every operation starts with.
ns1__AuthenticationType AuthenticationOf(const std::string& user_id, const std::string& password) {
  ns1__AuthenticationType authentication;
  authentication.userId = user_id;
  authentication.password = password;
  return authentication;
}

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

const char* MessageMediaErrorText(const std::string& code) {
  for (const ErrorText& e : kErrorTexts)
    if (code == e.code) return e.text;
  return nullptr;
}

// One gSOAP context and its lock, with the limits of the call in progress.
// The socket hooks keep every wait for an answer within the call's deadline,
// and record the connection in use so Stop can shut it down from another
// thread: gSOAP itself would wait out the silence limit.
struct MessageMediaServiceAPIWrapper::Channel {
  enum class Cut { kNone, kStopped, kDeadline, kSilent };

  Channel() : binding(SOAP_IO_KEEPALIVE | SOAP_C_UTFSTRING | SOAP_XML_STRICT, SOAP_IO_KEEPALIVE | SOAP_C_UTFSTRING) {
    soap* s = binding.soap;
    s->user = this;
    s->socket_flags = MSG_NOSIGNAL;
    original_open = s->fopen;
    original_close = s->fclosesocket;
    original_recv = s->frecv;
    s->fopen = &Channel::Open;
    s->fclosesocket = &Channel::CloseSocket;
    s->frecv = &Channel::Recv;
  }

  // The limits of the call about to start. Called with `mutex` held.
  void BeginCall(const Limits& limits, bool stops_at_once) {
    connect_ms = limits.connect_ms;
    silence_ms = limits.silence_ms;
    total_ms = limits.total_ms;
    deadline = Clock::now() + milliseconds(limits.total_ms);
    // Requests are small enough for the socket's buffer: only a peer that
    // takes nothing at all makes a write wait.
    binding.soap->send_timeout = SoapTimeout(milliseconds(limits.silence_ms));
    // gSOAP counts the answer's bytes, after any decompression.
    binding.soap->recv_maxlength = limits.max_answer_bytes;
    std::lock_guard lock(socket_mutex);
    cut = Cut::kNone;
    cut_on_stop = stops_at_once;
  }

  // Ends the call: a failed one leaves no half-read connection behind.
  void EndCall(bool failed) {
    if (failed) binding.soap_force_close_socket();
    binding.destroy();
  }

  // Why the last call failed, fit for a log line; empty when nothing is known.
  std::string FailureText() {
    Cut why;
    {
      std::lock_guard lock(socket_mutex);
      why = cut;
    }
    if (why == Cut::kStopped) return "cut short: the service is stopping";
    if (why == Cut::kDeadline) return "not finished within " + std::to_string(total_ms) + " ms";
    if (why == Cut::kSilent) return "nothing received for " + std::to_string(silence_ms) + " ms";
    const soap* s = binding.soap;
    if (s->recv_maxlength && s->count > s->recv_maxlength)
      return "answer longer than " + std::to_string(s->recv_maxlength) + " bytes";
    const char* fault = binding.soap_fault_string();
    return fault ? PeerText(fault) : std::string();
  }

  // What the call may still take; zero when it must end now (why in `cut`).
  Clock::duration Remaining() {
    const auto now = Clock::now();
    std::lock_guard lock(socket_mutex);
    Clock::time_point end = deadline;
    Cut why = Cut::kDeadline;
    if (stopping) {
      const Clock::time_point stop_end = cut_on_stop ? now : stop_deadline;
      if (stop_end <= end) {
        end = stop_end;
        why = Cut::kStopped;
      }
    }
    if (end > now) return end - now;
    cut = why;
    return Clock::duration::zero();
  }

  // gSOAP's connect cannot be interrupted from another thread, so it runs in
  // slices within the connect time limit and an abort is seen within one. The
  // slices grow, so a slow network still gets long enough to answer. A TLS
  // handshake is reached through TlsProgress instead.
  static SOAP_SOCKET Open(soap* s, const char* endpoint, const char* host, int port) {
    auto* self = static_cast<Channel*>(s->user);
    const auto connect_end = Clock::now() + milliseconds(self->connect_ms);
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
      s->recv_timeout = SoapTimeout(std::min<Clock::duration>(left, milliseconds(self->silence_ms)));
      socket = self->original_open(s, endpoint, host, port);
      std::lock_guard lock(self->socket_mutex);
      self->socket = socket;  // also forgets a handshake socket gSOAP closed on failure
      if (soap_valid_socket(socket)) {
        if (self->StopCutsLocked()) ::shutdown(socket, SHUT_RDWR);
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
    auto* self = static_cast<Channel*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (!self) return;
    std::lock_guard lock(self->socket_mutex);
    self->handshaking = true;
    self->socket = SSL_get_fd(ssl);
    if (self->StopCutsLocked() && soap_valid_socket(self->socket)) ::shutdown(self->socket, SHUT_RDWR);
  }

  // Waits for the answer in slices, so a stop, the deadline or the silence
  // limit ends the wait, then reads what has come.
  static size_t Recv(soap* s, char* buffer, size_t length) {
    auto* self = static_cast<Channel*>(s->user);
    const auto silent_end = Clock::now() + milliseconds(self->silence_ms);
    Clock::duration left;
    for (;;) {
      left = self->Remaining();
      if (left == Clock::duration::zero()) return 0;
      if (s->ssl && SSL_pending(s->ssl) > 0) break;
      const auto now = Clock::now();
      if (now >= silent_end) {
        std::lock_guard lock(self->socket_mutex);
        self->cut = Cut::kSilent;
        return 0;
      }
      const auto wait = std::min({kWaitSlice, left, silent_end - now});
      pollfd ready{s->socket, POLLIN, 0};
      const int r = ::poll(&ready, 1, static_cast<int>(std::chrono::ceil<milliseconds>(wait).count()));
      if (r > 0 || (r < 0 && errno != EINTR)) break;
    }
    // A TLS record may still be arriving: gSOAP's own wait stays within the limits too.
    s->recv_timeout = SoapTimeout(std::min<Clock::duration>(left, milliseconds(self->silence_ms)));
    const size_t received = self->original_recv(s, buffer, length);
    if (received == 0) self->Remaining();  // notes a stop that shut the connection down
    return received;
  }

  static int CloseSocket(soap* s, SOAP_SOCKET socket) {
    auto* self = static_cast<Channel*>(s->user);
    {
      // Forgotten before it is closed, so Stop never shuts down a reused number.
      std::lock_guard lock(self->socket_mutex);
      if (self->socket == socket) self->socket = SOAP_INVALID_SOCKET;
    }
    return self->original_close(s, socket);
  }

  void Stop() {
    std::lock_guard lock(socket_mutex);
    stopping = true;
    stop_deadline = Clock::now() + milliseconds(kConfirmGraceMs);
    if (StopCutsLocked() && soap_valid_socket(socket)) ::shutdown(socket, SHUT_RDWR);
  }

  void Resume() {
    std::lock_guard lock(socket_mutex);
    stopping = false;
  }

  bool Stopping() {
    std::lock_guard lock(socket_mutex);
    return stopping;
  }

  std::mutex mutex;  // one call at a time on this context
  MessageMediaServiceBinding binding;
  std::string endpoint;  // binding.soap_endpoint points into it
  ProxyServer proxy;     // the proxy fields of the context point into it
  bool tls_ready = false;
  std::string tls_ca;  // the CA file the TLS context was made with ("" system bundle)

  // Limits of the call in progress, used by the calling thread only.
  uint32_t connect_ms = 60000, silence_ms = 30000, total_ms = 300000;
  Clock::time_point deadline;

  std::mutex socket_mutex;  // guards what follows, shared with Stop
  SOAP_SOCKET socket = SOAP_INVALID_SOCKET;
  bool handshaking = false;  // the current connect reached its TLS handshake
  bool cut_on_stop = false;  // the call in progress ends at once on Stop
  Cut cut = Cut::kNone;      // why the call in progress was cut short
  bool stopping = false;
  Clock::time_point stop_deadline;  // when calls that may finish after Stop are cut too

  SOAP_SOCKET (*original_open)(soap*, const char*, const char*, int) = nullptr;
  int (*original_close)(soap*, SOAP_SOCKET) = nullptr;
  size_t (*original_recv)(soap*, char*, size_t) = nullptr;

 private:
  bool StopCutsLocked() const { return stopping && cut_on_stop; }
};

MessageMediaServiceAPIWrapper::MessageMediaServiceAPIWrapper(ILogInterface* logger)
    : logger_(logger), sending_(std::make_unique<Channel>()), fetching_(std::make_unique<Channel>()) {
  static std::once_flag ssl_once;
  std::call_once(ssl_once, [] { soap_ssl_init(); });
  account_.endpoint = kMessageMediaDefaultEndpoint;
}

MessageMediaServiceAPIWrapper::~MessageMediaServiceAPIWrapper() = default;

void MessageMediaServiceAPIWrapper::SetCredentials(const std::string& user_id, const std::string& password) {
  std::lock_guard lock(account_mutex_);
  account_.user_id = user_id;
  account_.password = password;
}

void MessageMediaServiceAPIWrapper::SetEndpoint(const std::string& url) {
  std::lock_guard lock(account_mutex_);
  account_.endpoint = url.empty() ? kMessageMediaDefaultEndpoint : url;
}

void MessageMediaServiceAPIWrapper::SetCaFolder(const std::string& folder) {
  std::lock_guard lock(account_mutex_);
  account_.ca_folder = folder;
}

void MessageMediaServiceAPIWrapper::SetLimits(Limits limits) {
  std::lock_guard lock(account_mutex_);
  account_.limits = limits;
}

void MessageMediaServiceAPIWrapper::Stop() {
  sending_->Stop();
  fetching_->Stop();
}

void MessageMediaServiceAPIWrapper::Resume() {
  sending_->Resume();
  fetching_->Resume();
}

MessageMediaServiceAPIWrapper::Account MessageMediaServiceAPIWrapper::CurrentAccount() {
  std::lock_guard lock(account_mutex_);
  return account_;
}

// Endpoint, limits, proxy and TLS of the context before a call; false
// (logged) when TLS cannot be set up. Called with the channel's lock held.
bool MessageMediaServiceAPIWrapper::Prepare(Channel& channel, const Account& account, const char* operation,
                                            bool stops_at_once) {
  soap* s = channel.binding.soap;
  channel.BeginCall(account.limits, stops_at_once);
  channel.endpoint = account.endpoint;
  channel.binding.soap_endpoint = channel.endpoint.c_str();

  std::optional<ProxyServer> proxy = EnvironmentProxyFor(channel.endpoint);
  channel.proxy = proxy ? *proxy : ProxyServer{};
  s->proxy_host = proxy ? channel.proxy.host.c_str() : nullptr;
  s->proxy_port = proxy ? channel.proxy.port : 8080;
  s->proxy_userid = proxy && !channel.proxy.user.empty() ? channel.proxy.user.c_str() : nullptr;
  s->proxy_passwd = proxy && !channel.proxy.user.empty() ? channel.proxy.password.c_str() : nullptr;

  if (channel.endpoint.compare(0, 8, "https://") != 0) return true;
  std::string ca = CaFileOverride();
  if (ca.empty()) {
    std::filesystem::path beside =
        std::filesystem::path(account.ca_folder.empty() ? "." : account.ca_folder) / kCaFileName;
    std::error_code ignored;
    if (std::filesystem::is_regular_file(beside, ignored)) ca = beside.string();
  }
  if (channel.tls_ready && channel.tls_ca == ca) return true;
  if (channel.tls_ready) {
    // Another CA file: a fresh TLS context, and no connection of the old one.
    channel.binding.soap_close_socket();
    if (s->ctx) SSL_CTX_free(s->ctx);
    s->ctx = nullptr;
    channel.tls_ready = false;
  }
  if (soap_ssl_client_context(s, SOAP_SSL_DEFAULT, nullptr, nullptr, ca.empty() ? nullptr : ca.c_str(), nullptr,
                              nullptr) != SOAP_OK) {
    const char* why = channel.binding.soap_fault_string();
    logger_->Error("MessageMediaServiceAPIWrapper::%s - TLS setup failed [%s] >> %s.", operation,
                   ca.empty() ? "system CA bundle" : ca.c_str(), why ? PeerText(why).c_str() : "unknown");
    channel.EndCall(true);
    return false;
  }
  if (ca.empty() && s->ctx) SSL_CTX_set_default_verify_paths(s->ctx);
  if (s->ctx) {
    SSL_CTX_set_app_data(s->ctx, &channel);
    SSL_CTX_set_info_callback(s->ctx, &Channel::TlsProgress);
  }
  channel.tls_ready = true;
  channel.tls_ca = ca;
  return true;
}

void MessageMediaServiceAPIWrapper::LogSoapError(Channel& channel, const char* operation) {
  const std::string why = channel.FailureText();
  if (why.empty())
    logger_->Error("MessageMediaServiceAPIWrapper::%s - SOAP error.", operation);
  else
    logger_->Error("MessageMediaServiceAPIWrapper::%s - SOAP error >> %s.", operation, why.c_str());
}

bool MessageMediaServiceAPIWrapper::SendMessage(const std::string& recipient, const std::string& text_utf8) {
  const Account account = CurrentAccount();
  Channel& channel = *sending_;
  std::lock_guard lock(channel.mutex);
  SigpipeGuard no_sigpipe;
  if (!Prepare(channel, account, "SendMessage", true)) return false;

  ns1__AuthenticationType authentication = AuthenticationOf(account.user_id, account.password);
  ns1__RecipientType to;
  to.uid = 0;
  to.__item = recipient;
  ns1__RecipientsType recipients;
  recipients.recipient.push_back(&to);
  bool delivery_report = false;
  xsd__unsignedLong validity = 0;
  ns1__MessageType message;
  message.format = "SMS";
  message.sequenceNumber = 0;
  message.recipients = &recipients;
  message.content = text_utf8;
  message.deliveryReport = &delivery_report;
  message.validityPeriod = &validity;
  ns1__MessageListType messages;
  messages.sendMode = "normal";
  messages.message.push_back(&message);
  ns1__SendMessagesBodyType body;
  body.messages = &messages;
  _ns1__sendMessages request;
  request.authentication = &authentication;
  request.requestBody = &body;
  _ns1__sendMessagesResponse response;

  const bool answered = channel.binding.sendMessages(&request, response) == SOAP_OK;
  bool sent = false;
  if (!answered) {
    LogSoapError(channel, "SendMessage");
  } else if (!response.result) {
    logger_->Error("MessageMediaServiceAPIWrapper::SendMessage - SOAP error >> answer without result.");
  } else if (response.result->failed == 0) {
    sent = true;
  } else {
    const ns1__MessageErrorType* first = nullptr;
    if (response.result->errors && !response.result->errors->error.empty()) first = response.result->errors->error[0];
    const char* text = first ? MessageMediaErrorText(first->code) : MessageMediaErrorText("other");
    const std::string shown = text ? text : PeerText(first->code);
    logger_->Error("MessageMediaServiceAPIWrapper::SendMessage - Transmission error >> %s.", shown.c_str());
  }
  channel.EndCall(!answered);
  return sent;
}

bool MessageMediaServiceAPIWrapper::GetIncomingSMSs(uint32_t max_replies, TalvexHostCallback callback,
                                                    uintptr_t context, uint64_t* remaining, uint32_t* delivered) {
  struct Reply {
    uint64_t receipt_id;
    std::string origin, content;
    bool complete;
  };
  logger_->Info("MessageMediaServiceAPIWrapper::GetIncomingSMSs");
  if (remaining) *remaining = 0;
  if (delivered) *delivered = 0;
  const Account account = CurrentAccount();
  Channel& channel = *fetching_;
  std::vector<Reply> replies;
  {
    std::lock_guard lock(channel.mutex);
    SigpipeGuard no_sigpipe;
    if (!Prepare(channel, account, "GetIncomingSMSs", true)) return false;

    ns1__AuthenticationType authentication = AuthenticationOf(account.user_id, account.password);
    xsd__unsignedLong maximum = max_replies;
    ns1__CheckRepliesBodyType body;
    body.maximumReplies = &maximum;
    _ns1__checkReplies request;
    request.authentication = &authentication;
    request.requestBody = &body;
    _ns1__checkRepliesResponse response;

    const bool answered = channel.binding.checkReplies(&request, response) == SOAP_OK;
    if (!answered || !response.result) {
      if (answered)
        logger_->Error("MessageMediaServiceAPIWrapper::GetIncomingSMSs - SOAP error >> answer without result.");
      else
        LogSoapError(channel, "GetIncomingSMSs");
      channel.EndCall(!answered);
      return false;
    }
    const ns1__CheckRepliesResultType& result = *response.result;
    const size_t listed = result.replies ? result.replies->reply.size() : 0;
    if (result.returned != listed)
      logger_->Warn("MessageMediaServiceAPIWrapper::GetIncomingSMSs - %llu replies returned, %llu listed.",
                    static_cast<unsigned long long>(result.returned), static_cast<unsigned long long>(listed));
    const size_t count = result.returned < listed ? static_cast<size_t>(result.returned) : listed;
    for (size_t i = 0; i < count; ++i) {
      const ns1__ReplyType* r = result.replies->reply[i];
      if (!r) continue;
      replies.push_back({r->receiptId, r->origin ? *r->origin : std::string(), r->content ? *r->content : std::string(),
                         r->origin && r->content});
    }
    if (remaining) *remaining = result.remaining;
    channel.EndCall(false);
  }

  ReceivedMessage message;
  for (size_t i = 0; i < replies.size(); ++i) {
    const Reply& reply = replies[i];
    if (!callback) {
      logger_->Error("MessageMediaServiceAPIWrapper::GetIncomingSMSs >> Invalid CALLBACK.");
      continue;
    }
    // A reply handed over after a stop would reach a host that is shutting down.
    if (channel.Stopping()) {
      logger_->Info("MessageMediaServiceAPIWrapper::GetIncomingSMSs - stopping: %zu replies left on the service.",
                    replies.size() - i);
      break;
    }
    if (!reply.complete)
      logger_->Warn("MessageMediaServiceAPIWrapper::GetIncomingSMSs - reply %llu without origin or content.",
                    static_cast<unsigned long long>(reply.receipt_id));
    TalvexReceivedMessage* record = message.get();
    record->service_flag = TALVEX_SERVICE_MESSAGEMEDIA;
    record->line = 1;
    message.SetOriginator(reply.origin);
    message.SetText(Utf8ToUtf16(reply.content));
    callback(0, 0, TALVEX_EVENT_RECEIVED, context, record, TALVEX_DATA_SMS);
    if (delivered) ++*delivered;
    ConfirmReply(account, reply.receipt_id);
  }
  return true;
}

bool MessageMediaServiceAPIWrapper::ConfirmReply(const Account& account, uint64_t receipt_id) {
  Channel& channel = *fetching_;
  std::lock_guard lock(channel.mutex);
  SigpipeGuard no_sigpipe;
  // The host has this reply: a stop must let its confirmation go out.
  if (!Prepare(channel, account, "DeleteIncomingSMSs", false)) return false;
  ns1__AuthenticationType authentication = AuthenticationOf(account.user_id, account.password);
  ns1__ConfirmItemType item;
  item.receiptId = receipt_id;
  ns1__ConfirmReplyListType list;
  list.reply.push_back(&item);
  ns1__ConfirmRepliesBodyType body;
  body.replies = &list;
  _ns1__confirmReplies request;
  request.authentication = &authentication;
  request.requestBody = &body;
  _ns1__confirmRepliesResponse response;
  const bool ok = channel.binding.confirmReplies(&request, response) == SOAP_OK;
  if (!ok) LogSoapError(channel, "DeleteIncomingSMSs");
  channel.EndCall(!ok);
  return ok;
}

}  // namespace talvenix
