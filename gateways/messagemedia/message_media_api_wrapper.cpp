#include "gateways/messagemedia/message_media_api_wrapper.hpp"

#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <vector>

#include "contract/received_message.hpp"
#include "soapMessageMediaServiceBindingProxy.h"
#include "support/environment_proxy.hpp"
#include "support/overrides.hpp"
#include "support/text_codec.hpp"

namespace talvenix {

using MessageMediaServiceBinding = MessageMediaServiceBindingProxy;

namespace {

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
constexpr size_t kMaxLoggedCode = 64;
constexpr std::chrono::steady_clock::duration kFirstConnectSlice = std::chrono::milliseconds(250);
constexpr std::chrono::steady_clock::duration kLongestConnectSlice = std::chrono::seconds(2);
constexpr std::chrono::steady_clock::duration kConnectSliceMargin = std::chrono::milliseconds(20);  // an unknown code from the service is logged, cut to this

// The account element every operation starts with.
ns1__AuthenticationType AuthenticationOf(const std::string& user_id, const std::string& password) {
  ns1__AuthenticationType authentication;
  authentication.userId = user_id;
  authentication.password = password;
  return authentication;
}

// gSOAP time-outs: negative values are microseconds.
int SoapTimeout(uint32_t ms) {
  const uint64_t us = static_cast<uint64_t>(ms) * 1000;
  return us >= static_cast<uint64_t>(INT_MAX) ? INT_MIN + 1 : -static_cast<int>(us);
}

// Replaces anything but printable ASCII, so text from the wire cannot break a log line.
std::string Printable(std::string_view text, size_t limit) {
  std::string out;
  for (char c : text.substr(0, limit)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  return out;
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

// One gSOAP context and its lock. The socket hooks record the connection in
// use, so AbortFetching can shut it down from another thread: gSOAP itself
// would wait out the silence limit.
struct MessageMediaServiceAPIWrapper::Channel {
  Channel() : binding(SOAP_IO_KEEPALIVE | SOAP_C_UTFSTRING | SOAP_XML_STRICT, SOAP_IO_KEEPALIVE | SOAP_C_UTFSTRING) {
    soap* s = binding.soap;
    s->user = this;
    s->socket_flags = MSG_NOSIGNAL;
    original_open = s->fopen;
    original_close = s->fclosesocket;
    s->fopen = &Channel::Open;
    s->fclosesocket = &Channel::CloseSocket;
  }

  // gSOAP's connect cannot be interrupted from another thread, so it runs in
  // slices within the connect time limit and an abort is seen within one. The
  // slices grow, so a slow network still gets long enough to answer. A TLS
  // handshake is reached through TlsProgress instead.
  static SOAP_SOCKET Open(soap* s, const char* endpoint, const char* host, int port) {
    auto* self = static_cast<Channel*>(s->user);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(self->connect_ms);
    SOAP_SOCKET socket = SOAP_INVALID_SOCKET;
    for (auto next_slice = kFirstConnectSlice;; next_slice = std::min(next_slice * 2, kLongestConnectSlice)) {
      {
        std::lock_guard lock(self->socket_mutex);
        if (self->aborted) {
          soap_set_receiver_error(s, "Shutting down", nullptr, SOAP_TCP_ERROR);
          return SOAP_INVALID_SOCKET;
        }
        self->handshaking = false;
      }
      const auto began = std::chrono::steady_clock::now();
      const auto slice = std::min<std::chrono::steady_clock::duration>(deadline - began, next_slice);
      if (slice <= std::chrono::steady_clock::duration::zero()) break;  // the last slice ran out: its error stands
      s->connect_timeout = -static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(slice).count());
      socket = self->original_open(s, endpoint, host, port);
      std::lock_guard lock(self->socket_mutex);
      self->socket = socket;  // also forgets a handshake socket gSOAP closed on failure
      if (soap_valid_socket(socket)) {
        if (self->aborted) ::shutdown(socket, SHUT_RDWR);
        break;
      }
      // Only a connect that used its whole slice is tried again.
      if (self->handshaking || std::chrono::steady_clock::now() - began < slice - kConnectSliceMargin) break;
    }
    return socket;
  }

  // Called by OpenSSL on the context's connections: the handshake's socket
  // is known (and shut down on an abort) from its first step.
  static void TlsProgress(const SSL* ssl, int where, int) {
    if (!(where & SSL_CB_HANDSHAKE_START)) return;
    auto* self = static_cast<Channel*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (!self) return;
    std::lock_guard lock(self->socket_mutex);
    self->handshaking = true;
    self->socket = SSL_get_fd(ssl);
    if (self->aborted && soap_valid_socket(self->socket)) ::shutdown(self->socket, SHUT_RDWR);
  }

  static int CloseSocket(soap* s, SOAP_SOCKET socket) {
    auto* self = static_cast<Channel*>(s->user);
    {
      // Forgotten before it is closed, so Abort never shuts down a reused number.
      std::lock_guard lock(self->socket_mutex);
      if (self->socket == socket) self->socket = SOAP_INVALID_SOCKET;
    }
    return self->original_close(s, socket);
  }

  void Abort() {
    std::lock_guard lock(socket_mutex);
    aborted = true;
    if (soap_valid_socket(socket)) ::shutdown(socket, SHUT_RDWR);
  }

  void Resume() {
    std::lock_guard lock(socket_mutex);
    aborted = false;
  }

  std::mutex mutex;  // one call at a time on this context
  MessageMediaServiceBinding binding;
  std::string endpoint;  // binding.soap_endpoint points into it
  ProxyServer proxy;     // the proxy fields of the context point into it
  bool tls_ready = false;
  std::string tls_ca;  // the CA file the TLS context was made with ("" system bundle)

  uint32_t connect_ms = 60000;  // the time limit Open shares out in slices

  std::mutex socket_mutex;
  SOAP_SOCKET socket = SOAP_INVALID_SOCKET;
  bool aborted = false;
  bool handshaking = false;  // the current connect reached its TLS handshake
  SOAP_SOCKET (*original_open)(soap*, const char*, const char*, int) = nullptr;
  int (*original_close)(soap*, SOAP_SOCKET) = nullptr;
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

void MessageMediaServiceAPIWrapper::SetTimeouts(Timeouts timeouts) {
  std::lock_guard lock(account_mutex_);
  account_.timeouts = timeouts;
}

void MessageMediaServiceAPIWrapper::AbortFetching() { fetching_->Abort(); }
void MessageMediaServiceAPIWrapper::ResumeFetching() { fetching_->Resume(); }

MessageMediaServiceAPIWrapper::Account MessageMediaServiceAPIWrapper::CurrentAccount() {
  std::lock_guard lock(account_mutex_);
  return account_;
}

// Endpoint, time-outs, proxy and TLS of the context before a call; false
// (logged) when TLS cannot be set up. Called with the channel's lock held.
bool MessageMediaServiceAPIWrapper::Prepare(Channel& channel, const Account& account, const char* operation) {
  soap* s = channel.binding.soap;
  channel.endpoint = account.endpoint;
  channel.binding.soap_endpoint = channel.endpoint.c_str();
  channel.connect_ms = account.timeouts.connect_ms;
  s->recv_timeout = SoapTimeout(account.timeouts.silence_ms);
  s->send_timeout = SoapTimeout(account.timeouts.silence_ms);

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
                   ca.empty() ? "system CA bundle" : ca.c_str(), why ? why : "unknown");
    channel.binding.destroy();
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

bool MessageMediaServiceAPIWrapper::SendMessage(const std::string& recipient, const std::string& text_utf8) {
  const Account account = CurrentAccount();
  Channel& channel = *sending_;
  std::lock_guard lock(channel.mutex);
  SigpipeGuard no_sigpipe;
  if (!Prepare(channel, account, "SendMessage")) return false;

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

  bool sent = false;
  if (channel.binding.sendMessages(&request, response) != SOAP_OK) {
    const char* fault = channel.binding.soap_fault_string();
    if (fault)
      logger_->Error("MessageMediaServiceAPIWrapper::SendMessage - SOAP error >> %s.", fault);
    else
      logger_->Error("MessageMediaServiceAPIWrapper::SendMessage - SOAP error.");
  } else if (!response.result) {
    logger_->Error("MessageMediaServiceAPIWrapper::SendMessage - SOAP error >> answer without result.");
  } else if (response.result->failed == 0) {
    sent = true;
  } else {
    const ns1__MessageErrorType* first = nullptr;
    if (response.result->errors && !response.result->errors->error.empty()) first = response.result->errors->error[0];
    const char* text = first ? MessageMediaErrorText(first->code) : MessageMediaErrorText("other");
    const std::string shown = text ? text : Printable(first->code, kMaxLoggedCode);
    logger_->Error("MessageMediaServiceAPIWrapper::SendMessage - Transmission error >> %s.", shown.c_str());
  }
  channel.binding.destroy();
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
  std::vector<Reply> replies;
  {
    Channel& channel = *fetching_;
    std::lock_guard lock(channel.mutex);
    SigpipeGuard no_sigpipe;
    if (!Prepare(channel, account, "GetIncomingSMSs")) return false;

    ns1__AuthenticationType authentication = AuthenticationOf(account.user_id, account.password);
    xsd__unsignedLong maximum = max_replies;
    ns1__CheckRepliesBodyType body;
    body.maximumReplies = &maximum;
    _ns1__checkReplies request;
    request.authentication = &authentication;
    request.requestBody = &body;
    _ns1__checkRepliesResponse response;

    const int rc = channel.binding.checkReplies(&request, response);
    if (rc != SOAP_OK || !response.result) {
      const char* fault = rc != SOAP_OK ? channel.binding.soap_fault_string() : "answer without result";
      if (fault)
        logger_->Error("MessageMediaServiceAPIWrapper::GetIncomingSMSs - SOAP error >> %s.", fault);
      else
        logger_->Error("MessageMediaServiceAPIWrapper::GetIncomingSMSs - SOAP error.");
      channel.binding.destroy();
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
    channel.binding.destroy();
  }

  ReceivedMessage message;
  for (const Reply& reply : replies) {
    if (!callback) {
      logger_->Error("MessageMediaServiceAPIWrapper::GetIncomingSMSs >> Invalid CALLBACK.");
      continue;
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
  if (!Prepare(channel, account, "DeleteIncomingSMSs")) return false;
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
  if (!ok) {
    const char* fault = channel.binding.soap_fault_string();
    if (fault)
      logger_->Error("MessageMediaServiceAPIWrapper::DeleteIncomingSMSs - SOAP error >> %s.", fault);
    else
      logger_->Error("MessageMediaServiceAPIWrapper::DeleteIncomingSMSs - SOAP error.");
  }
  channel.binding.destroy();
  return ok;
}

}  // namespace talvenix
