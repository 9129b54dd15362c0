// SPDX-License-Identifier: Apache-2.0
#pragma once
// The mail transaction (MAIL, RCPT, DATA, QUIT) on a connection that libcurl
// has opened, secured and logged in (CURLOPT_CONNECT_ONLY). We run it
// ourselves because libcurl takes a reply that it holds already when the data
// ends, even one the server sent before the data, as the answer to the data.
// Used by one thread at a time; the connection stays the caller's.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "contract/log_interface.hpp"

typedef void CURL;
typedef void CURLM;

namespace talvenix {

// No reply can answer the end of the data before the server has read it. A
// server that answers on its own after its 354, even in a later write, must
// not have that answer taken for the one to the dot, so the dot waits until
// this long after the 354 (a long message's own writing counts towards it)
// and any reply before then ends the transaction unsent.
inline constexpr int64_t kSmtpEarlyReplyWindowMs = 250;

// The server's replies of one session, line by line as they arrive.
class SmtpReplies {
 public:
  // One line without its line end. A reply is complete at its line with a
  // blank after the code ("250 OK", not "250-SIZE").
  void AddLine(std::string_view line);
  void Clear();
  // The last complete reply, its lines joined by CR LF; "" before any.
  const std::string& last() const { return last_; }
  // What explains a failure: the last refusal (4xx, 5xx), else the last reply.
  const std::string& reason() const { return refusal_.empty() ? last_ : refusal_; }

 private:
  std::string last_, refusal_, partial_;
};

class SmtpTransaction {
 public:
  // `connection`: a handle whose CONNECT_ONLY transfer succeeded. Every wait
  // for the server (a reply, room to send) ends after `silence_s` seconds.
  SmtpTransaction(CURL* connection, ILogInterface* logger, SmtpReplies& replies, uint32_t silence_s);
  ~SmtpTransaction();
  SmtpTransaction(const SmtpTransaction&) = delete;
  SmtpTransaction& operator=(const SmtpTransaction&) = delete;

  // Submits `message` (CR LF line ends, ending in one) from `sender` to
  // every recipient (bare addresses), then ends the session. "" when the
  // server accepted the message, else what failed ("RCPT failed: 550").
  std::string Submit(const std::string& sender, const std::vector<std::string>& recipients, std::string_view message);

 private:
  bool Command(const std::string& line, int expected_class, const char* name);
  int ReadReply();
  bool NoReplyUntil(int64_t until_ms);
  bool Send(std::string_view bytes);
  void Receive(int64_t deadline_ms);
  void Wait(int events, int64_t deadline_ms, bool deadline_fails = true);
  int64_t Deadline() const;
  void Quit();

  CURL* curl_;
  CURLM* waiter_;
  ILogInterface* logger_;
  SmtpReplies& replies_;
  uint32_t silence_s_;
  std::string input_;    // received, not yet read as reply lines
  std::string failure_;  // what went wrong, for the caller's log line
  bool broken_ = false;  // the connection failed or lost step with the server
};

}  // namespace talvenix
