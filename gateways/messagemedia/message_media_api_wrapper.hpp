// SPDX-License-Identifier: Apache-2.0
#pragma once
// The web-service client of the MessageMedia gateway: builds the SOAP calls
// sendMessages, checkReplies and confirmReplies, reads their answers, and
// holds the account credentials and the endpoint. gSOAP stays behind this
// header (the binding lives in soap/).
//
// Threads: sending (the host's thread) and fetching (the poll thread) each
// have their own gSOAP context, each used under its own lock, so the two
// never share one. Credentials, endpoint and limits may change on any thread.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "contract/log_interface.hpp"
#include "talvenix/talvenix.h"

namespace talvenix {

constexpr const char* kMessageMediaDefaultEndpoint = "https://soap.m4u.com.au/";

class MessageMediaServiceAPIWrapper {
 public:
  // Limits of every call, as the HTTP client has them.
  struct Limits {
    uint32_t connect_ms = 60000;          // connecting, TLS handshake included
    uint32_t silence_ms = 30000;          // a call that receives or sends nothing this long ends
    uint32_t total_ms = 300000;           // no call lasts longer, however slowly the answer trickles
    uint64_t max_answer_bytes = 1 << 20;  // a longer answer fails the call
  };
  // What a confirmation may still take once Stop is called: a reply the host
  // already has must not come back, yet stopping must not wait for long.
  static constexpr uint32_t kConfirmGraceMs = 5000;

  // `logger` is not owned and must outlive the client.
  explicit MessageMediaServiceAPIWrapper(ILogInterface* logger);
  ~MessageMediaServiceAPIWrapper();
  MessageMediaServiceAPIWrapper(const MessageMediaServiceAPIWrapper&) = delete;
  MessageMediaServiceAPIWrapper& operator=(const MessageMediaServiceAPIWrapper&) = delete;

  // UTF-8 texts, sent with every later call.
  void SetCredentials(const std::string& user_id, const std::string& password);
  // The whole URL ("https://…" or "http://…"); empty restores the default.
  void SetEndpoint(const std::string& url);
  // The folder searched for "cacerts.pem" (TALVENIX_CA_FILE overrides it;
  // without either file the system CA bundle is used).
  void SetCaFolder(const std::string& folder);
  void SetLimits(Limits limits);

  // One sendMessages call for one recipient. True when the service reports
  // no failed message; every failure is logged.
  bool SendMessage(const std::string& recipient, const std::string& text_utf8);

  // One checkReplies call for at most `max_replies`; each reply goes to the
  // callback (event 1) in list order and is confirmed right after it. Once
  // Stop is called no further reply is handed over (those stay on the
  // service, unconfirmed). False on a failed call (remaining is then 0).
  // `delivered` counts the replies handed to the callback.
  bool GetIncomingSMSs(uint32_t max_replies, TalvexHostCallback callback, uintptr_t context, uint64_t* remaining,
                       uint32_t* delivered);

  // Makes a send or fetch in flight end now and refuses new ones until
  // Resume (used by shutdown, so it never waits for a slow server). A
  // confirmation in flight or still to come gets kConfirmGraceMs. Any thread.
  void Stop();
  void Resume();

  struct Channel;  // one gSOAP context with its lock (defined with gSOAP)

 private:
  struct Account {
    std::string user_id, password, endpoint, ca_folder;
    Limits limits;
  };
  Account CurrentAccount();
  // `stops_at_once`: Stop cuts the call short (sends and fetches, not confirmations).
  bool Prepare(Channel& channel, const Account& account, const char* operation, bool stops_at_once);
  void LogSoapError(Channel& channel, const char* operation);
  bool ConfirmReply(const Account& account, uint64_t receipt_id);

  ILogInterface* logger_;
  std::mutex account_mutex_;
  Account account_;
  std::unique_ptr<Channel> sending_;
  std::unique_ptr<Channel> fetching_;
};

// Text of a sendMessages error code; null for a code outside the five.
const char* MessageMediaErrorText(const std::string& code);

}  // namespace talvenix
