#include "gateways/email/email.hpp"

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <ctime>
#include <new>

#include "gateways/email/mail_message.hpp"
#include "support/overrides.hpp"
#include "support/text_codec.hpp"

namespace talvenix {
namespace {

constexpr size_t kMaxReplyLogged = 512;

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

bool Append(curl_slist*& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list, line.c_str());
  if (!grown) return false;
  list = grown;
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
  OPENSSL_cleanse(password_.data(), password_.size());
}

void CEmail::Release() {
  curl_slist_free_all(headers_);
  curl_slist_free_all(recipients_);
  headers_ = recipients_ = nullptr;
  curl_mime_free(mime_);
  mime_ = nullptr;
  if (curl_) curl_easy_cleanup(curl_);
  curl_ = nullptr;
  initialised_ = fields_set_ = false;
}

void CEmail::SetSubmission(SmtpSecurity security, std::string user, std::string password) {
  security_ = security;
  user_ = std::move(user);
  OPENSSL_cleanse(password_.data(), password_.size());
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
  if (!curl_)
    logger_->Error("CEmail::Init - failed to create CDO Configuration instance, err[0x%X]",
                   static_cast<unsigned>(CURLE_FAILED_INIT));
  mime_ = curl_ ? curl_mime_init(curl_) : nullptr;
  if (!mime_)
    logger_->Error("CEmail::Init - failed to create IMessage instance, err[0x%X]",
                   static_cast<unsigned>(CURLE_OUT_OF_MEMORY));
  if (!curl_ || !mime_) {
    Release();
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
      curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts_.connect_ms)) == CURLE_OK &&
      // Silence while waiting for a reply, and a stalled upload, both end the send.
      curl_easy_setopt(curl_, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(timeouts_.silence_s)) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, static_cast<long>(timeouts_.silence_s)) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &CEmail::OnServerLine) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_HEADERDATA, this) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, error_buffer_.data()) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
      curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
  if (ok && !ca_file.empty()) ok = curl_easy_setopt(curl_, CURLOPT_CAINFO, ca_file.c_str()) == CURLE_OK;
  return ok;
}

int CEmail::SetEmailFields(const char16_t* subject, const char16_t* from, const char16_t* to, const char16_t* cc,
                           const char16_t* bcc, const char16_t* body) {
  if (!initialised_) return 0;
  fields_set_ = false;
  try {
    std::vector<mail::Address> senders, to_list, cc_list, bcc_list;
    struct Field {
      const char* name;
      const char16_t* text;
      std::vector<mail::Address>* list;
    };
    for (const Field& f : {Field{"from", from, &senders}, Field{"to", to, &to_list}, Field{"cc", cc, &cc_list},
                           Field{"bcc", bcc, &bcc_list}}) {
      std::string bad;
      if (f.text && !mail::ParseAddressList(Utf16ToUtf8(f.text), *f.list, &bad)) {
        logger_->Error("CEmail::SetEmailFields - unusable address in %s: '%s'", f.name, bad.c_str());
        logger_->Error("CEmail::SetEmailFields - Failed.");
        return 0;
      }
    }

    curl_slist_free_all(headers_);
    curl_slist_free_all(recipients_);
    headers_ = recipients_ = nullptr;
    bool ok = true;
    if (!senders.empty()) ok = ok && Append(headers_, mail::AddressHeader("From", senders));
    if (!to_list.empty()) ok = ok && Append(headers_, mail::AddressHeader("To", to_list));
    if (!cc_list.empty()) ok = ok && Append(headers_, mail::AddressHeader("Cc", cc_list));
    if (subject) ok = ok && Append(headers_, mail::TextHeader("Subject", Utf16ToUtf8(subject)));
    ok = ok && Append(headers_, mail::DateHeader(std::time(nullptr))) &&
         Append(headers_, mail::MessageIdHeader(senders.empty() ? "" : senders.front().address)) &&
         Append(headers_, "MIME-Version: 1.0");
    // Bcc addresses are recipients only: they never appear in a header.
    std::vector<std::string> envelope;
    for (const auto* list : {&to_list, &cc_list, &bcc_list})
      for (const mail::Address& a : *list)
        if (std::none_of(envelope.begin(), envelope.end(),
                         [&](const std::string& e) { return SameAddress(e, a.address); }))
          envelope.push_back(a.address);
    for (const std::string& a : envelope) ok = ok && Append(recipients_, "<" + a + ">");
    mail_from_ = senders.empty() ? std::string() : "<" + senders.front().address + ">";

    // A fresh body part, so a second call replaces the first body.
    curl_mime_free(mime_);
    mime_ = curl_mime_init(curl_);
    curl_mimepart* part = mime_ ? curl_mime_addpart(mime_) : nullptr;
    std::string text = mail::CanonicalLineEnds(body ? Utf16ToUtf8(body) : std::string());
    ok = ok && part && curl_mime_data(part, text.data(), text.size()) == CURLE_OK &&
         curl_mime_type(part, "text/plain; charset=utf-8") == CURLE_OK &&
         curl_mime_encoder(part, "quoted-printable") == CURLE_OK;
    if (!ok) {
      logger_->Error("CEmail::SetEmailFields - Failed.");
      return 0;
    }
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
  const char* missing = !fields_set_         ? "no message fields were set"
                        : mail_from_.empty() ? "no sender address"
                        : !recipients_       ? "no recipient address"
                                             : nullptr;
  if (missing) {
    logger_->Error("CEmail::SendEmail - Failed To Send Mail through SMTP Port.");
    logger_->Error("CEmail::SendEmail - %s: %s.", url.c_str(), missing);
    return 0;
  }
  bool ok = curl_easy_setopt(curl_, CURLOPT_URL, url.c_str()) == CURLE_OK &&
            curl_easy_setopt(curl_, CURLOPT_USE_SSL,
                             static_cast<long>(security_ == SmtpSecurity::kStartTls ? CURLUSESSL_ALL
                                                                                    : CURLUSESSL_NONE)) == CURLE_OK &&
            curl_easy_setopt(curl_, CURLOPT_MAIL_FROM, mail_from_.c_str()) == CURLE_OK &&
            curl_easy_setopt(curl_, CURLOPT_MAIL_RCPT, recipients_) == CURLE_OK &&
            curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_) == CURLE_OK &&
            curl_easy_setopt(curl_, CURLOPT_MIMEPOST, mime_) == CURLE_OK;
  if (ok && !user_.empty()) {
    if (security_ == SmtpSecurity::kNone)
      logger_->Warn("CEmail::SendEmail - user '%s' authenticates without encryption ([smtpsecurity] is none).",
                    user_.c_str());
    ok = curl_easy_setopt(curl_, CURLOPT_USERNAME, user_.c_str()) == CURLE_OK &&
         curl_easy_setopt(curl_, CURLOPT_PASSWORD, password_.c_str()) == CURLE_OK;
  }
  reply_.clear();
  refusal_.clear();
  partial_reply_.clear();
  error_buffer_[0] = '\0';
  CURLcode code = ok ? curl_easy_perform(curl_) : CURLE_FAILED_INIT;
  if (code == CURLE_OK) return 1;
  logger_->Error("CEmail::SendEmail - Failed To Send Mail through SMTP Port.");
  std::string detail = error_buffer_[0] ? std::string(" (") + error_buffer_.data() + ")" : std::string();
  // The refusal says why; a QUIT's "221 Bye" after it would not.
  const std::string& reply = refusal_.empty() ? reply_ : refusal_;
  logger_->Error("CEmail::SendEmail - %s: %s%s; server reply: %s", url.c_str(), curl_easy_strerror(code),
                 detail.c_str(), reply.empty() ? "none" : reply.c_str());
  return 0;
}

// libcurl hands every line the server sends to this callback; a reply is
// complete at its line with a blank after the code ("250 OK", not "250-SIZE").
size_t CEmail::OnServerLine(char* data, size_t size, size_t count, void* self) {
  auto* mail = static_cast<CEmail*>(self);
  size_t n = size * count;
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  try {
    if (mail->partial_reply_.size() < kMaxReplyLogged) {
      if (!mail->partial_reply_.empty()) mail->partial_reply_ += " | ";
      mail->partial_reply_.append(line.substr(0, kMaxReplyLogged));
    }
    if (line.size() < 4 || line[3] != '-') {
      mail->reply_.swap(mail->partial_reply_);
      mail->partial_reply_.clear();
      for (char& c : mail->reply_)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
      if (mail->reply_[0] == '4' || mail->reply_[0] == '5') mail->refusal_ = mail->reply_;
    }
  } catch (const std::bad_alloc&) {
  }
  return n;
}

}  // namespace talvenix
