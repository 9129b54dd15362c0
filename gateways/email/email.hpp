// SPDX-License-Identifier: Apache-2.0
#pragma once
// CEmail sends one plain-text e-mail by SMTP: libcurl connects, secures the
// connection and logs in; the message and the mail transaction are ours. The
// gateway creates one per message: Init with server and port, SetEmailFields,
// SendEmail, then deletes it. Not shared between threads; it keeps no state
// between messages.

#include <cstdint>
#include <string>
#include <vector>

#include "contract/log_interface.hpp"
#include "gateways/email/smtp_transaction.hpp"

namespace talvenix {

enum class SmtpSecurity {
  kNone,        // plain text, as the original mailer sends
  kStartTls,    // STARTTLS required before anything else is sent
  kImplicitTls  // TLS from the first byte (usually port 465)
};

struct SmtpTimeouts {
  uint32_t connect_ms = 60000;  // TCP and TLS set-up
  uint32_t silence_s = 30;      // a server that answers nothing this long ends the send
};

class CEmail {
 public:
  // The logger is not owned and must outlive the mailer.
  explicit CEmail(ILogInterface* logger, SmtpTimeouts timeouts = {});
  virtual ~CEmail();
  CEmail(const CEmail&) = delete;
  CEmail& operator=(const CEmail&) = delete;

  // Prepares a transfer to server:port (UTF-16 host name or address, port
  // 1..65535). 1 on success, 0 (logged) otherwise.
  virtual int Init(const char16_t* server, int32_t port);
  // Composes the message; null arguments are left out, as are empty cc and
  // bcc. 0 (logged) before a successful Init or for an address that cannot be
  // used; 1 otherwise.
  virtual int SetEmailFields(const char16_t* subject, const char16_t* from, const char16_t* to, const char16_t* cc,
                             const char16_t* bcc, const char16_t* body);
  // Submits the message; every To, Cc and Bcc address is a recipient and one
  // refused recipient fails the send. 1 when the server accepted the message
  // in its reply to the end of the data; 0 before Init or on any failure,
  // logged with the server's reply.
  virtual int SendEmail();

  // How to reach the server; call before SendEmail. With a user name the
  // mailer authenticates; without encryption it warns before doing so.
  void SetSubmission(SmtpSecurity security, std::string user, std::string password);

 private:
  static size_t OnServerLine(char* data, size_t size, size_t count, void* self);
  void Release();
  bool Configure();
  void LogFailure(const std::string& url, const std::string& what);

  ILogInterface* logger_;
  SmtpTimeouts timeouts_;
  bool initialised_ = false;
  bool fields_set_ = false;
  CURL* curl_ = nullptr;
  std::string host_;
  int32_t port_ = 0;
  std::string mail_from_;                // bare address
  std::vector<std::string> recipients_;  // bare addresses: To, Cc and Bcc
  std::string message_;                  // headers and body, CR LF line ends
  SmtpSecurity security_ = SmtpSecurity::kNone;
  std::string user_, password_;
  SmtpReplies replies_;
  std::vector<char> error_buffer_;
};

}  // namespace talvenix
