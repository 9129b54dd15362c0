// SPDX-License-Identifier: Apache-2.0
#include "gateways/email/email.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <new>

#include "gateways/email/mail_message.hpp"
#include "gateways/email/system_trust.hpp"
#include "gateways/email/wipe.hpp"
#include "support/overrides.hpp"
#include "support/peer_text.hpp"
#include "support/text_codec.hpp"

namespace talvenix {
namespace {

std::string Trimmed(const char16_t* text) {
  std::string s = text ? Utf16ToUtf8(text) : std::string();
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// A host name, an IPv4 address or an IPv6 address; nothing that could change
// the meaning of the URL it goes into.
bool IsHost(const std::string& host) {
  if (host.empty()) return false;
  for (unsigned char c : host)
    if (c <= 0x20 || c == 0x7F || std::string_view("/@?#%\\\"<>").find(static_cast<char>(c)) != std::string_view::npos)
      return false;
  return true;
}

bool SameAddress(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
         });
}

}  // namespace

CEmail::CEmail(ILogInterface* logger, SmtpTimeouts timeouts)
    : logger_(logger), timeouts_(timeouts), error_buffer_(CURL_ERROR_SIZE, '\0') {}

CEmail::~CEmail() {
  Release();
  WipeSecret(password_);
}

void CEmail::Release() {
  if (curl_) curl_easy_cleanup(curl_);
  curl_ = nullptr;
  initialised_ = fields_set_ = false;
}

void CEmail::SetSubmission(SmtpSecurity security, std::string user, std::string password) {
  security_ = security;
  user_ = std::move(user);
  WipeSecret(password_);
  password_ = std::move(password);
}

int CEmail::Init(const char16_t* server, int32_t port) {
  Release();
  std::string host = Trimmed(server);
  if (!IsHost(host) || port < 1 || port > 65535) {
    logger_->Error("CEmail::Init - invalid SMTP server '%s' or port %d.", host.c_str(), static_cast<int>(port));
    return 0;
  }
  // An IPv6 address goes into the URL in brackets.
  host_ = host.find(':') != std::string::npos && host.front() != '[' ? "[" + host + "]" : host;
  port_ = port;

  curl_ = curl_easy_init();
  if (!curl_) {
    logger_->Error("CEmail::Init - failed to create CDO Configuration instance, err[0x%X]",
                   static_cast<unsigned>(CURLE_FAILED_INIT));
    return 0;
  }
  if (!Configure()) {
    logger_->Error("CEmail::Init - failed to set configuration for upload.");
    Release();
    return 0;
  }
  initialised_ = true;
  return 1;
}

bool CEmail::Configure() {
  std::string ca_file = CaFileOverride();
  bool ok =
      curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "smtp,smtps") == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      // libcurl connects, secures the connection and logs in; the transaction is ours.
      curl_easy_setopt(curl_, CURLOPT_CONNECT_ONLY, 1L) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts_.connect_ms)) == CURLE_OK &&
      // Silence while waiting for a reply, and a stalled transfer, both end the send.
      curl_easy_setopt(curl_, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(timeouts_.silence_s)) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, static_cast<long>(timeouts_.silence_s)) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &CEmail::OnServerLine) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_HEADERDATA, this) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, error_buffer_.data()) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
  if (ok)
    ok = ca_file.empty() ? TrustSystemRoots(curl_)
                         : curl_easy_setopt(curl_, CURLOPT_CAINFO, ca_file.c_str()) == CURLE_OK;
  return ok;
}

int CEmail::SetEmailFields(const char16_t* subject, const char16_t* from, const char16_t* to, const char16_t* cc,
                           const char16_t* bcc, const char16_t* body) {
  if (!initialised_) return 0;
  fields_set_ = false;
  try {
    mail::MessageFields message;
    std::vector<mail::Address> bcc_list;
    struct Field {
      const char* name;
      const char16_t* text;
      std::vector<mail::Address>* list;
    };
    for (const Field& f : {Field{"from", from, &message.from}, Field{"to", to, &message.to},
                           Field{"cc", cc, &message.cc}, Field{"bcc", bcc, &bcc_list}}) {
      std::string bad;
      if (f.text && !mail::ParseAddressList(Utf16ToUtf8(f.text), *f.list, &bad)) {
        logger_->Error("CEmail::SetEmailFields - unusable address in %s: '%s'", f.name, bad.c_str());
        logger_->Error("CEmail::SetEmailFields - Failed.");
        return 0;
      }
    }
    // Bcc addresses are recipients only: they never appear in a header.
    recipients_.clear();
    for (const auto* list : {&message.to, &message.cc, &bcc_list})
      for (const mail::Address& a : *list)
        if (std::none_of(recipients_.begin(), recipients_.end(),
                         [&](const std::string& r) { return SameAddress(r, a.address); }))
          recipients_.push_back(a.address);
    mail_from_ = message.from.empty() ? std::string() : message.from.front().address;
    if (subject) message.subject = Utf16ToUtf8(subject);
    if (body) message.body = Utf16ToUtf8(body);
    message_ = mail::ComposeMessage(
        message, std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now()));
  } catch (const std::bad_alloc&) {
    logger_->Error("CEmail::SetEmailFields - Failed.");
    return 0;
  }
  fields_set_ = true;
  return 1;
}

int CEmail::SendEmail() {
  if (!initialised_) return 0;
  std::string url =
      (security_ == SmtpSecurity::kImplicitTls ? "smtps://" : "smtp://") + host_ + ":" + std::to_string(port_);
  const char* missing = !fields_set_          ? "no message fields were set"
                        : mail_from_.empty()  ? "no sender address"
                        : recipients_.empty() ? "no recipient address"
                                              : nullptr;
  if (missing) {
    logger_->Error("CEmail::SendEmail - Failed To Send Mail through SMTP Port.");
    logger_->Error("CEmail::SendEmail - %s: %s.", url.c_str(), missing);
    return 0;
  }
  bool ok = curl_easy_setopt(curl_, CURLOPT_URL, url.c_str()) == CURLE_OK &&
            curl_easy_setopt(
                curl_, CURLOPT_USE_SSL,
                static_cast<long>(security_ == SmtpSecurity::kStartTls ? CURLUSESSL_ALL : CURLUSESSL_NONE)) == CURLE_OK;
  if (ok && !user_.empty()) {
    if (security_ == SmtpSecurity::kNone)
      logger_->Warn("CEmail::SendEmail - user '%s' authenticates without encryption ([smtpsecurity] is none).",
                    user_.c_str());
    ok = curl_easy_setopt(curl_, CURLOPT_USERNAME, user_.c_str()) == CURLE_OK &&
         curl_easy_setopt(curl_, CURLOPT_PASSWORD, password_.c_str()) == CURLE_OK;
  }
  replies_.Clear();
  error_buffer_[0] = '\0';
  CURLcode code = ok ? curl_easy_perform(curl_) : CURLE_FAILED_INIT;
  if (code != CURLE_OK) {
    std::string detail = error_buffer_[0] ? std::string(" (") + error_buffer_.data() + ")" : std::string();
    LogFailure(url, curl_easy_strerror(code) + detail);
    return 0;
  }
  std::string failure;
  try {
    failure = SmtpTransaction(curl_, logger_, replies_, timeouts_.silence_s).Submit(mail_from_, recipients_, message_);
  } catch (const std::bad_alloc&) {
    failure = curl_easy_strerror(CURLE_OUT_OF_MEMORY);
  }
  if (failure.empty()) return 1;
  LogFailure(url, failure);
  return 0;
}

void CEmail::LogFailure(const std::string& url, const std::string& what) {
  logger_->Error("CEmail::SendEmail - Failed To Send Mail through SMTP Port.");
  // The refusal says why; a QUIT's "221 Bye" after it would not.
  const std::string& reply = replies_.reason();
  logger_->Error("CEmail::SendEmail - %s: %s; server reply: %s", url.c_str(), what.c_str(),
                 reply.empty() ? "none" : PeerText(reply).c_str());
}

// libcurl hands every line the server sends while it connects and logs in to this callback.
size_t CEmail::OnServerLine(char* data, size_t size, size_t count, void* self) {
  size_t n = size * count;
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  try {
    static_cast<CEmail*>(self)->replies_.AddLine(line);
  } catch (const std::bad_alloc&) {
  }
  return n;
}

}  // namespace talvenix
