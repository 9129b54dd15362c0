// SPDX-License-Identifier: Apache-2.0
#include "soap_peer.hpp"

#include <chrono>
#include <cstdlib>
#include <deque>

#include "soapMessageMediaServiceBindingService.h"

namespace talvenix::testing {

struct SoapPeer::Impl : public MessageMediaServiceBindingService {
  std::mutex mutex;
  std::string fail_code, fault;
  std::deque<PeerReply> replies;
  uint64_t remaining = 0;
  bool every_fetch = false;
  int delay_ms = 0;
  int trickle_ms = 0;
  int (*original_send)(struct soap*, const char*, size_t) = nullptr;
  size_t (*original_recv)(struct soap*, char*, size_t) = nullptr;
  std::vector<std::string> requests;  // the bytes each connection brought
  int fetch_count = 0;
  std::vector<Sent> sent;
  std::vector<std::string> events;
  std::atomic<bool>* stop = nullptr;

  int Fault() {
    std::lock_guard lock(mutex);
    if (fault.empty()) return SOAP_OK;
    return soap_receiverfault(fault.c_str(), nullptr);
  }

  int sendMessages(_ns1__sendMessages* request, _ns1__sendMessagesResponse& response) override {
    if (int f = Fault()) return f;
    std::lock_guard lock(mutex);
    auto* result = soap_new_ns1__SendMessagesResultType(soap);
    const ns1__MessageType* m = request->requestBody->messages->message.at(0);
    sent.push_back({request->authentication->userId, request->authentication->password,
                    m->recipients->recipient.at(0)->__item, m->content, request->requestBody->messages->sendMode,
                    m->format});
    if (fail_code.empty()) {
      result->sent = 1;
    } else {
      result->failed = 1;
      result->errors = soap_new_ns1__MessageErrorListType(soap);
      auto* error = soap_new_ns1__MessageErrorType(soap);
      error->code = fail_code;
      result->errors->error.push_back(error);
    }
    response.result = result;
    return SOAP_OK;
  }

  int checkReplies(_ns1__checkReplies*, _ns1__checkRepliesResponse& response) override {
    int delay;
    {
      std::lock_guard lock(mutex);
      ++fetch_count;
      events.push_back("fetch");
      delay = delay_ms;
    }
    for (int waited = 0; waited < delay && !*stop; waited += 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (int f = Fault()) return f;
    std::lock_guard lock(mutex);
    auto* result = soap_new_ns1__CheckRepliesResultType(soap);
    result->replies = soap_new_ns1__ReplyListType(soap);
    for (const PeerReply& r : replies) {
      auto* reply = soap_new_ns1__ReplyType(soap);
      reply->receiptId = r.receipt_id;
      reply->origin = soap_new_std__string(soap);
      *reply->origin = r.origin;
      reply->content = soap_new_std__string(soap);
      *reply->content = r.content;
      result->replies->reply.push_back(reply);
    }
    result->returned = replies.size();
    result->remaining = remaining;
    if (!every_fetch) {
      replies.clear();
      remaining = 0;
    }
    response.result = result;
    return SOAP_OK;
  }

  int confirmReplies(_ns1__confirmReplies* request, _ns1__confirmRepliesResponse& response) override {
    std::lock_guard lock(mutex);
    for (const ns1__ConfirmItemType* item : request->requestBody->replies->reply)
      events.push_back("confirm:" + std::to_string(item->receiptId));
    response.result = soap_new_ns1__ConfirmRepliesResultType(soap);
    response.result->confirmed = request->requestBody->replies->reply.size();
    return SOAP_OK;
  }

  // Writes an answer slowly when asked to, until the client goes or the peer stops.
  static int Send(struct soap* s, const char* data, size_t length) {
    auto* self = static_cast<Impl*>(s->user);
    int ms;
    {
      std::lock_guard lock(self->mutex);
      ms = self->trickle_ms;
      if (ms > 0) self->events.push_back("trickle");
    }
    if (ms <= 0) return self->original_send(s, data, length);
    for (size_t i = 0; i < length; ++i) {
      if (*self->stop) return SOAP_EOF;
      if (int error = self->original_send(s, data + i, 1)) return error;
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    return SOAP_OK;
  }

  // Keeps every byte a client sent, as it came.
  static size_t Recv(struct soap* s, char* data, size_t length) {
    auto* self = static_cast<Impl*>(s->user);
    const size_t n = self->original_recv(s, data, length);
    std::lock_guard lock(self->mutex);
    if (!self->requests.empty()) self->requests.back().append(data, n);
    return n;
  }

  MessageMediaServiceBindingService* copy() override { return nullptr; }
  int Unused() { return soap_senderfault("not implemented", nullptr); }
  int checkUser(ns1__OtherRequest*, ns1__OtherResponse&) override { return Unused(); }
  int checkReports(ns1__OtherRequest*, ns1__OtherResponse&) override { return Unused(); }
  int confirmReports(ns1__OtherRequest*, ns1__OtherResponse&) override { return Unused(); }
  int deleteScheduledMessages(ns1__OtherRequest*, ns1__OtherResponse&) override { return Unused(); }
  int blockNumbers(ns1__OtherRequest*, ns1__OtherResponse&) override { return Unused(); }
  int unblockNumbers(ns1__OtherRequest*, ns1__OtherResponse&) override { return Unused(); }
  int getBlockedNumbers(ns1__OtherRequest*, ns1__OtherResponse&) override { return Unused(); }
};

SoapPeer::SoapPeer(const std::string& cert_file, const std::string& key_file, int port) : impl_(new Impl) {
  impl_->stop = &stop_;
  soap* s = impl_->soap;
  soap_set_mode(s, SOAP_C_UTFSTRING | SOAP_XML_STRICT);
  s->user = impl_;
  impl_->original_send = s->fsend;
  s->fsend = &Impl::Send;
  impl_->original_recv = s->frecv;
  s->frecv = &Impl::Recv;
  s->bind_flags = SO_REUSEADDR;
  PreparePeerSockets(s);
  s->accept_timeout = -50000;  // 50 ms, so the loop sees stop_
  s->recv_timeout = 2;
  s->send_timeout = 2;
  if (!cert_file.empty() && !PeerTlsContext(s, cert_file, key_file)) soap_print_fault(s, stderr);
  if (!soap_valid_socket(impl_->bind("127.0.0.1", port, 16))) {
    soap_print_fault(s, stderr);
    return;
  }
  sockaddr_in address{};
  SOAP_SOCKLEN_T length = sizeof address;
  getsockname(s->master, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  tls_ = !cert_file.empty();
  thread_ = std::thread([this, tls = tls_] {
    soap* sp = impl_->soap;
    while (!stop_) {
      // gSOAP's accept sets TCP_NODELAY: answers go out at once, not after
      // the client's delayed acknowledgement.
      if (!soap_valid_socket(impl_->accept())) continue;
      {
        std::lock_guard lock(impl_->mutex);
        impl_->requests.emplace_back();
      }
      if (!tls || PeerTlsAccept(sp)) impl_->serve();
      impl_->destroy();
      soap_closesock(sp);
    }
  });
}

SoapPeer::~SoapPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  delete impl_;
}

std::string SoapPeer::url() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/";
}

void SoapPeer::FailWith(const std::string& code) {
  std::lock_guard lock(impl_->mutex);
  impl_->fail_code = code;
}
void SoapPeer::FaultWith(const std::string& fault) {
  std::lock_guard lock(impl_->mutex);
  impl_->fault = fault;
}
void SoapPeer::QueueReplies(std::vector<PeerReply> replies, uint64_t remaining, bool every_fetch) {
  std::lock_guard lock(impl_->mutex);
  impl_->replies.assign(replies.begin(), replies.end());
  impl_->remaining = remaining;
  impl_->every_fetch = every_fetch;
}
void SoapPeer::DelayFetches(int ms) {
  std::lock_guard lock(impl_->mutex);
  impl_->delay_ms = ms;
}
void SoapPeer::TrickleAnswers(int ms) {
  std::lock_guard lock(impl_->mutex);
  impl_->trickle_ms = ms;
}
std::vector<SoapPeer::Sent> SoapPeer::sent() {
  std::lock_guard lock(impl_->mutex);
  return impl_->sent;
}
std::vector<std::string> SoapPeer::events() {
  std::lock_guard lock(impl_->mutex);
  return impl_->events;
}
void SoapPeer::AddEvent(const std::string& event) {
  std::lock_guard lock(impl_->mutex);
  impl_->events.push_back(event);
}
std::vector<std::string> SoapPeer::requests() {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}
int SoapPeer::fetches() {
  std::lock_guard lock(impl_->mutex);
  return impl_->fetch_count;
}

std::string HttpAnswer(const std::string& status, const std::string& content_type, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\nContent-Type: " + content_type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string SoapAnswer(const std::string& body, const std::string& ns) {
  return HttpAnswer("200 OK", "text/xml; charset=utf-8",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:ns1=\"" +
                        ns + "\"><SOAP-ENV:Body>" + body + "</SOAP-ENV:Body></SOAP-ENV:Envelope>");
}

bool MakeCertificates(const std::string& folder, const std::string& prefix) {
  const std::string d = folder + "/" + prefix;
  const std::string script = "cd '" + folder +
                             "' && "
                             "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=TestCA -keyout " +
                             prefix + "ca.key -out " + prefix +
                             "ca.pem 2>/dev/null && "
                             "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout " +
                             prefix + "server.key -out " + prefix +
                             "server.csr 2>/dev/null && "
                             "printf 'subjectAltName=DNS:127.0.0.1,IP:127.0.0.1\\n' > " +
                             prefix +
                             "ext.cnf && "
                             "openssl x509 -req -in " +
                             prefix + "server.csr -CA " + prefix + "ca.pem -CAkey " + prefix +
                             "ca.key -CAcreateserial -days 2 -extfile " + prefix + "ext.cnf -out " + prefix +
                             "server.pem 2>/dev/null";
  (void)d;
  return std::system(script.c_str()) == 0;
}

}  // namespace talvenix::testing
