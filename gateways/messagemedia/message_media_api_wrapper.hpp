#pragma once
// The web-service client of the MessageMedia gateway: builds the SOAP calls
// sendMessages, checkReplies and confirmReplies, reads their answers, and
// holds the account credentials and the endpoint. gSOAP stays behind this
// header (the binding lives in soap/).
//
// Threads: sending (the host's thread) and fetching (the poll thread) each
// have their own gSOAP context, each used under its own lock, so the two
// never share one. Credentials and endpoint may change on any thread.

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
  // Connect and silence limits of every call, in milliseconds.
  struct Timeouts {
    uint32_t connect_ms = 60000;
    uint32_t silence_ms = 30000;
  };

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
  void SetTimeouts(Timeouts timeouts);

  // One sendMessages call for one recipient. True when the service reports
  // no failed message; every failure is logged.
  bool SendMessage(const std::string& recipient, const std::string& text_utf8);

  // One checkReplies call for at most `max_replies`; each reply goes to the
  // callback (event 1) in list order and is confirmed right after it. False
  // on a failed call (remaining is then 0). `delivered` counts the replies
  // handed to the callback.
  bool GetIncomingSMSs(uint32_t max_replies, TalvexHostCallback callback, uintptr_t context, uint64_t* remaining,
                       uint32_t* delivered);

  // Makes a fetch in flight end now and refuses new ones until ResumeFetching
  // (used by shutdown, so it never waits for a silent server). Any thread.
  void AbortFetching();
  void ResumeFetching();

  struct Channel;  // one gSOAP context with its lock (defined with gSOAP)

 private:
  struct Account {
    std::string user_id, password, endpoint, ca_folder;
    Timeouts timeouts;
  };
  Account CurrentAccount();
  bool Prepare(Channel& channel, const Account& account, const char* operation);
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
