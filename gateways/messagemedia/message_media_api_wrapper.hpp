// SPDX-License-Identifier: Apache-2.0
#pragma once
// The web-service client of the MessageMedia gateway: builds the SOAP calls
// sendMessages, checkReplies and confirmReplies, reads their answers, and
// holds the account credentials and the endpoint. It lives in the SOAP
// library with gSOAP (the binding is in soap/), and the gateway reaches it
// only through IMessageMediaClient.
//
// Threads: sending (the host's thread) and fetching (the poll thread) each
// have their own gSOAP context, each used under its own lock, so the two
// never share one. Credentials, endpoint and limits may change on any thread.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "gateways/messagemedia/message_media_client.hpp"

namespace talvenix {

constexpr const char* kMessageMediaDefaultEndpoint = "https://soap.m4u.com.au/";

class MessageMediaServiceAPIWrapper final : public IMessageMediaClient {
 public:
  // `logger` is not owned and must outlive the client.
  explicit MessageMediaServiceAPIWrapper(ILogInterface* logger);
  ~MessageMediaServiceAPIWrapper();
  MessageMediaServiceAPIWrapper(const MessageMediaServiceAPIWrapper&) = delete;
  MessageMediaServiceAPIWrapper& operator=(const MessageMediaServiceAPIWrapper&) = delete;

  void SetCredentials(const char* user_id, const char* password) override;
  void SetEndpoint(const char* url) override;
  void SetCaFolder(const char* folder) override;
  void SetLimits(const Limits& limits) override;
  TransportOutcome SendMessage(const char* recipient, const char* text_utf8, bool* accepted) override;
  bool GetIncomingSMSs(uint32_t max_replies, TalvexHostCallback callback, uintptr_t context, uint64_t* remaining,
                       uint32_t* delivered) override;
  void Stop() override;
  void Resume() override;
  void Release() override { delete this; }

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
