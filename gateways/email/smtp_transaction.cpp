// SPDX-License-Identifier: Apache-2.0
#include "gateways/email/smtp_transaction.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>

#include "support/peer_text.hpp"

namespace talvenix {
namespace {

// Replies longer than this are kept only in part (for the log) and end a
// transaction: no sound server sends one.
constexpr size_t kMaxReply = 64 * 1024;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int ReplyCode(std::string_view line) {
  if (line.size() < 3 || !std::all_of(line.begin(), line.begin() + 3, [](char c) { return c >= '0' && c <= '9'; }))
    return 0;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A line of the message that starts with a dot gets a second one, so no line
// of it can read as the end of the data.
std::string DotStuffed(std::string_view message) {
  std::string out;
  out.reserve(message.size() + 16);
  bool line_start = true;
  for (char c : message) {
    if (line_start && c == '.') out += '.';
    out += c;
    line_start = c == '\n';
  }
  if (!out.empty() && !line_start) out += "\r\n";
  return out;
}

}  // namespace

void SmtpReplies::AddLine(std::string_view line) {
  if (partial_.size() < kMaxReply) {
    if (!partial_.empty()) partial_ += "\r\n";
    partial_.append(line.substr(0, kMaxReply));
  }
  if (line.size() >= 4 && line[3] == '-') return;
  last_.swap(partial_);
  partial_.clear();
  if (!last_.empty() && (last_[0] == '4' || last_[0] == '5')) refusal_ = last_;
}

void SmtpReplies::Clear() {
  last_.clear();
  refusal_.clear();
  partial_.clear();
}

SmtpTransaction::SmtpTransaction(CURL* connection, ILogInterface* logger, SmtpReplies& replies, uint32_t silence_s)
    : curl_(connection), waiter_(curl_multi_init()), logger_(logger), replies_(replies), silence_s_(silence_s) {}

SmtpTransaction::~SmtpTransaction() {
  if (waiter_) curl_multi_cleanup(waiter_);
}

std::string SmtpTransaction::Submit(const std::string& sender, const std::vector<std::string>& recipients,
                                    std::string_view message) {
  bool utf8 = !IsAscii(sender) ||
              std::any_of(recipients.begin(), recipients.end(), [](const std::string& r) { return !IsAscii(r); });
  bool accepted = Command("MAIL FROM:<" + sender + ">" + (utf8 ? " SMTPUTF8" : ""), 2, "MAIL") &&
                  std::all_of(recipients.begin(), recipients.end(),
                              [&](const std::string& r) { return Command("RCPT TO:<" + r + ">", 2, "RCPT"); }) &&
                  Command("DATA", 3, "DATA");
  if (accepted) {
    int64_t window_end = NowMs() + kSmtpEarlyReplyWindowMs;
    accepted = Send(DotStuffed(message)) && NoReplyUntil(window_end);
  }
  if (accepted) {
    int code = Send(".\r\n") ? ReadReply() : -1;
    accepted = code / 100 == 2;
    if (code >= 0 && !accepted) failure_ = "end of data failed: " + std::to_string(code);
  }
  Quit();
  return accepted ? std::string() : failure_;
}

bool SmtpTransaction::Command(const std::string& line, int expected_class, const char* name) {
  if (!Send(line + "\r\n")) return false;
  int code = ReadReply();
  if (code < 0) return false;
  if (code / 100 == expected_class) return true;
  failure_ = std::string(name) + " failed: " + std::to_string(code);
  return false;
}

// The code of the next complete reply; -1 when none came.
int SmtpTransaction::ReadReply() {
  int64_t deadline = Deadline();
  while (!broken_) {
    size_t eol;
    while ((eol = input_.find('\n')) != std::string::npos) {
      std::string_view line(input_.data(), eol);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      replies_.AddLine(line);
      bool last = line.size() < 4 || line[3] != '-';
      int code = ReplyCode(line);
      input_.erase(0, eol + 1);
      if (last) return code;
    }
    if (input_.size() > kMaxReply) {
      replies_.AddLine(input_);
      failure_ = "the server's reply line is too long";
      broken_ = true;
    } else {
      Receive(deadline);
    }
  }
  return -1;
}

// False when the server said anything, or the connection failed, before
// `until_ms`: then the dot is never written, so a sound server drops the data.
bool SmtpTransaction::NoReplyUntil(int64_t until_ms) {
  char chunk[4096];
  while (!broken_ && input_.empty()) {
    size_t n = 0;
    CURLcode code = curl_easy_recv(curl_, chunk, sizeof chunk, &n);
    if (code == CURLE_OK && n > 0) {
      input_.append(chunk, n);
    } else if (code != CURLE_AGAIN) {
      failure_ = code == CURLE_OK ? "the server closed the connection" : curl_easy_strerror(code);
      broken_ = true;
    } else if (until_ms <= NowMs()) {
      return true;
    } else {
      Wait(CURL_WAIT_POLLIN, until_ms, false);
    }
  }
  if (broken_) return false;
  for (std::string_view rest(input_); !rest.empty();) {
    std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    replies_.AddLine(line);
  }
  failure_ = "the server replied before the end of the data";
  broken_ = true;  // out of step: no dot, no QUIT
  return false;
}

bool SmtpTransaction::Send(std::string_view bytes) {
  int64_t deadline = Deadline();
  while (!broken_ && !bytes.empty()) {
    size_t sent = 0;
    CURLcode code = curl_easy_send(curl_, bytes.data(), bytes.size(), &sent);
    if (code == CURLE_OK) {
      bytes.remove_prefix(sent);
      deadline = Deadline();
    } else if (code == CURLE_AGAIN) {
      Wait(CURL_WAIT_POLLOUT, deadline);
    } else {
      failure_ = curl_easy_strerror(code);
      broken_ = true;
    }
  }
  return !broken_;
}

void SmtpTransaction::Receive(int64_t deadline_ms) {
  char chunk[4096];
  while (!broken_) {
    size_t n = 0;
    CURLcode code = curl_easy_recv(curl_, chunk, sizeof chunk, &n);
    if (code == CURLE_OK && n > 0) {
      input_.append(chunk, n);
      return;
    }
    if (code == CURLE_AGAIN) {
      Wait(CURL_WAIT_POLLIN, deadline_ms);
      continue;
    }
    failure_ = code == CURLE_OK ? "the server closed the connection" : curl_easy_strerror(code);
    broken_ = true;
  }
}

// Waits until the socket may be ready; marks the connection broken once the
// deadline has passed, unless `deadline_fails` is false.
void SmtpTransaction::Wait(int events, int64_t deadline_ms, bool deadline_fails) {
  int64_t left = deadline_ms - NowMs();
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (left > 0 && waiter_ && curl_easy_getinfo(curl_, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK &&
      socket != CURL_SOCKET_BAD) {
    curl_waitfd wait = {socket, static_cast<short>(events), 0};
    if (curl_multi_wait(waiter_, &wait, 1, static_cast<int>(left), nullptr) == CURLM_OK) return;
  }
  if (left <= 0 && !deadline_fails) return;
  failure_ = curl_easy_strerror(left > 0 ? CURLE_RECV_ERROR : CURLE_OPERATION_TIMEDOUT);
  broken_ = true;
}

int64_t SmtpTransaction::Deadline() const { return NowMs() + int64_t{silence_s_} * 1000; }

// Ends the session politely when it is still in step; its reply is not needed.
void SmtpTransaction::Quit() {
  if (broken_) return;
  std::string failure = failure_;
  if (Send("QUIT\r\n")) ReadReply();
  failure_ = failure;
}

}  // namespace talvenix
