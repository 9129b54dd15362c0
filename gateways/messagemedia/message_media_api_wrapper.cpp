// SPDX-License-Identifier: Apache-2.0
#include "gateways/messagemedia/message_media_api_wrapper.hpp"

#include <new>
#include <vector>

#include "contract/received_message.hpp"
#include "gateways/messagemedia/message_media_channel.hpp"
#include "support/peer_text.hpp"
#include "support/text_codec.hpp"

namespace talvenix {

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

// The account element every operation starts with.
ns1__AuthenticationType AuthenticationOf(const std::string& user_id, const std::string& password) {
  ns1__AuthenticationType authentication;
  authentication.userId = user_id;
  authentication.password = password;
  return authentication;
}

}  // namespace

const char* MessageMediaErrorText(const std::string& code) {
  for (const ErrorText& e : kErrorTexts)
    if (code == e.code) return e.text;
  return nullptr;
}

std::string CallFailureText(CallCut cut, const IMessageMediaClient::Limits& limits, soap* s) {
  if (cut == CallCut::kStopped) return "cut short: the service is stopping";
  if (cut == CallCut::kDeadline) return "not finished within " + std::to_string(limits.total_ms) + " ms";
  if (cut == CallCut::kSilent) return "nothing received for " + std::to_string(limits.silence_ms) + " ms";
  if (s->recv_maxlength && s->count > s->recv_maxlength)
    return "answer longer than " + std::to_string(s->recv_maxlength) + " bytes";
  const char* fault = *soap_faultstring(s);
  return fault ? PeerText(fault) : std::string();
}

TransportOutcome CallOutcome(const CallEnd& end, soap* s) {
  if (s->error == SOAP_OK || s->error == SOAP_FAULT || (s->error >= 300 && s->error < 600))
    return TransportOutcome::kAnswered;
  if (end.cut == CallCut::kStopped) return TransportOutcome::kCut;
  return end.request_sent ? TransportOutcome::kMaybeTaken : TransportOutcome::kNotSent;
}

void CallEnd::Begin(Clock::time_point call_deadline, bool stops_at_once) {
  deadline = call_deadline;
  cut_on_stop = stops_at_once;
  cut = CallCut::kNone;
  request_sent = false;
}

CallEnd::Clock::duration CallEnd::Remaining(Clock::time_point now) {
  Clock::time_point end = deadline;
  CallCut why = CallCut::kDeadline;
  if (stopping) {
    const Clock::time_point stop_end = cut_on_stop ? now : stop_deadline;
    if (stop_end <= end) {
      end = stop_end;
      why = CallCut::kStopped;
    }
  }
  if (end > now) return end - now;
  cut = why;
  return Clock::duration::zero();
}

void CallEnd::Stop(Clock::time_point now) {
  stopping = true;
  stop_deadline = now + std::chrono::milliseconds(MessageMediaServiceAPIWrapper::kConfirmGraceMs);
}

MessageMediaServiceAPIWrapper::MessageMediaServiceAPIWrapper(ILogInterface* logger)
    : logger_(logger), sending_(std::make_unique<Channel>()), fetching_(std::make_unique<Channel>()) {
  account_.endpoint = kMessageMediaDefaultEndpoint;
}

MessageMediaServiceAPIWrapper::~MessageMediaServiceAPIWrapper() = default;

void MessageMediaServiceAPIWrapper::SetCredentials(const char* user_id, const char* password) {
  std::lock_guard lock(account_mutex_);
  account_.user_id = user_id ? user_id : "";
  account_.password = password ? password : "";
}

void MessageMediaServiceAPIWrapper::SetEndpoint(const char* url) {
  std::lock_guard lock(account_mutex_);
  account_.endpoint = url && *url ? url : kMessageMediaDefaultEndpoint;
}

void MessageMediaServiceAPIWrapper::SetCaFolder(const char* folder) {
  std::lock_guard lock(account_mutex_);
  account_.ca_folder = folder ? folder : "";
}

void MessageMediaServiceAPIWrapper::SetLimits(const Limits& limits) {
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
  std::string error;
  if (channel.BeginCall(account.endpoint, account.ca_folder, account.limits, stops_at_once, error)) return true;
  logger_->Error("MessageMediaServiceAPIWrapper::%s - TLS setup failed %s.", operation, error.c_str());
  return false;
}

void MessageMediaServiceAPIWrapper::LogSoapError(Channel& channel, const char* operation) {
  const std::string why = channel.FailureText();
  if (why.empty())
    logger_->Error("MessageMediaServiceAPIWrapper::%s - SOAP error.", operation);
  else
    logger_->Error("MessageMediaServiceAPIWrapper::%s - SOAP error >> %s.", operation, why.c_str());
}

TransportOutcome MessageMediaServiceAPIWrapper::SendMessage(const char* recipient, const char* text_utf8,
                                                            bool* accepted) {
  *accepted = false;
  const Account account = CurrentAccount();
  Channel& channel = *sending_;
  std::lock_guard lock(channel.mutex);
  if (!Prepare(channel, account, "SendMessage", true)) return TransportOutcome::kNotSent;

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
  const TransportOutcome outcome = answered ? TransportOutcome::kAnswered : channel.Outcome();
  if (!answered) {
    LogSoapError(channel, "SendMessage");
  } else if (!response.result) {
    logger_->Error("MessageMediaServiceAPIWrapper::SendMessage - SOAP error >> answer without result.");
  } else if (response.result->failed == 0) {
    *accepted = true;
  } else {
    const ns1__MessageErrorType* first = nullptr;
    if (response.result->errors && !response.result->errors->error.empty()) first = response.result->errors->error[0];
    const char* text = first ? MessageMediaErrorText(first->code) : MessageMediaErrorText("other");
    const std::string shown = text ? text : PeerText(first->code);
    logger_->Error("MessageMediaServiceAPIWrapper::SendMessage - Transmission error >> %s.", shown.c_str());
  }
  channel.EndCall(!answered);
  return outcome;
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

// The SOAP library's one entry point (message_media_client.hpp).
extern "C" TALVEX_EXPORT talvenix::IMessageMediaClient* talvenix_soap_new_client(uint32_t version,
                                                                                 talvenix::ILogInterface* logger) {
  if (version != talvenix::kMessageMediaClientVersion || !logger) return nullptr;
  try {
    return new talvenix::MessageMediaServiceAPIWrapper(logger);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
