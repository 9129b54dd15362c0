// SPDX-License-Identifier: Apache-2.0
#include "gateways/email/gen_smtp_service.hpp"

#include <cstddef>
#include <new>
#include <vector>

#include "gateways/email/address_fields.hpp"
#include "gateways/email/placeholders.hpp"
#include "gateways/email/wipe.hpp"
#include "platform/ansi_text.hpp"
#include "support/peer_text.hpp"
#include "support/text_codec.hpp"

namespace talvenix {
namespace {

constexpr SettingsLogLines kSettingsLog = {
    "GenSMTPService::ConfigLoad - Invalid Parameter(s)",
    "GenSMTPService::ConfigLoad - failed to load service configuration(s).",
    "GenSMTPService::ConfigUpdate - Invalid Parameter(s).",
    "GenSMTPService::ConfigUpdate - failed to update service configuration(s).",
};
constexpr uint32_t kDefaultPort = 25;
constexpr uint32_t kDefaultTlsPort = 465;

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Trims a text field of the block in place; returns the trimmed text.
template <size_t N>
std::u16string_view TrimField(char16_t (&field)[N]) {
  std::u16string trimmed(Trim(std::u16string_view(field, Utf16Length(field, N))));
  CopyBounded(field, N, trimmed);
  return std::u16string_view(field, trimmed.size());
}

template <size_t N>
std::u16string_view Text(const char16_t (&field)[N]) {
  return std::u16string_view(field, Utf16Length(field, N));
}

// Every line feed gets a carriage return before it, unless it has one already.
std::u16string CrLf(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r')) out += u'\r';
    out += text[i];
  }
  return out;
}

bool ParseSecurity(std::u16string_view text, SmtpSecurity& security) {
  std::u16string lower(Trim(text));
  for (char16_t& c : lower)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  if (lower.empty() || lower == u"none")
    security = SmtpSecurity::kNone;
  else if (lower == u"starttls")
    security = SmtpSecurity::kStartTls;
  else if (lower == u"tls")
    security = SmtpSecurity::kImplicitTls;
  else
    return false;
  return true;
}

// The port text as a number; blank gives the default port, anything but
// digits (or a number above 65535) gives -1.
int32_t ParsePort(std::u16string_view text, SmtpSecurity security) {
  text = Trim(text);
  if (text.empty())
    return static_cast<int32_t>(security == SmtpSecurity::kImplicitTls ? kDefaultTlsPort : kDefaultPort);
  int32_t port = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return -1;
    port = port * 10 + (c - u'0');
    if (port > 65535) return -1;
  }
  return port;
}

}  // namespace

GenSMTPService::GenSMTPService(ILogInterface* logger)
    : GenericGSMService(logger, kEmailService, kSettingsLog), settings_(std::make_unique<TalvexSmtpSettings>()) {}

GenSMTPService::~GenSMTPService() { WipeSecret(password_); }

std::unique_ptr<CEmail> GenSMTPService::CreateMailer() {
  return std::unique_ptr<CEmail>(new (std::nothrow) CEmail(logger_));
}

// ---- Settings ---------------------------------------------------------------

// ---- Running ------------------------------------------------------------------

int GenSMTPService::LoadServiceSpecficConfigurations(TalvexGenericOptions* options,
                                                     IGSMConfigurationInterface* loader) {
  if (!options || !loader) {
    logger_->Error("GenSMTPService::LoadInternalConfigs - Invalid Parameter(s).");
    return 0;
  }
  options_ = options;
  loader_ = loader;
  int result = ConfigLoad(loader, settings_.get(), 0);
  if (!result) {
    logger_->Error("GenSMTPService::LoadInternalConfigs - ConfigXMLLoad Failed.");
    return 0;
  }
  LoadSubmissionSettings(loader);
  return LoadTemplate(loader, result);
}

void GenSMTPService::LoadSubmissionSettings(IGSMConfigurationInterface* loader) {
  std::vector<std::u16string> values = LoadGatewaySettings(loader);
  security_ = values[kSmtpSecurity];
  user_ = values[kSmtpUser];
  WipeSecret(password_);
  password_ = values[kSmtpPassword];
  WipeSecret(values[kSmtpPassword]);
  SmtpSecurity parsed;
  if (!ParseSecurity(security_, parsed))
    logger_->Error("GenSMTPService::LoadInternalConfigs - unknown [smtpsecurity] '%s' (none, starttls or tls).",
                   Utf16ToUtf8(security_).c_str());
}

int GenSMTPService::LoadTemplate(IGSMConfigurationInterface* loader, int result) {
  TalvexSmtpSettings& s = *settings_;
  std::u16string name(TrimField(s.template_name));
  if (name.empty()) {
    logger_->Error("GenSMTPService::LoadInternalConfigs - Invalid body template name specified.");
    return result;
  }
  ConfigTable rows;
  rows.emplace_back(kConfigLoad, u"from", kValueWide, s.from, 1000, nullptr, 0, kSourceTemplateField, name);
  rows.emplace_back(kConfigLoad, u"to", kValueWide, s.to, 1000, nullptr, 0, kSourceTemplateField, name);
  rows.emplace_back(kConfigLoad, u"cc", kValueWide, s.cc, 1000, nullptr, 1, kSourceTemplateField, name);
  rows.emplace_back(kConfigLoad, u"bcc", kValueWide, s.bcc, 1000, nullptr, 1, kSourceTemplateField, name);
  rows.emplace_back(kConfigLoad, u"subject", kValueWide, s.subject, 1000, nullptr, 1, kSourceTemplateField, name);
  rows.emplace_back(kConfigLoad, u"body", kValueWide, s.body, 5000, nullptr, 1, kSourceTemplateField, name);
  result = loader->LoadServiceConfigs(TransportId(), &rows, 0);
  if (!result) {
    logger_->Error("GenSMTPService::LoadInternalConfigs - failed to load template data.");
    return 0;
  }
  if (TrimField(s.from).empty()) {
    logger_->Error("GenSMTPService::LoadInternalConfigs - Invalid Template Attribute 'From' specified.");
    return result;
  }
  if (TrimField(s.to).empty()) {
    logger_->Error("GenSMTPService::LoadInternalConfigs - Invalid Template Attribute 'to' specified.");
    return result;
  }
  CopyBounded(s.body, std::size(s.body), CrLf(Text(s.body)));
  TrimField(s.subject);
  TrimField(s.cc);
  TrimField(s.bcc);
  return result;
}

int GenSMTPService::ServiceInit(TalvexHostCallback, uintptr_t, IGSMConfigurationInterface* loader) {
  if (initialised_) return 0;
  loader_ = loader;
  initialised_ = 1;
  return 1;
}

void GenSMTPService::ServiceUninit() {
  initialised_ = 0;
  TalvexSmtpSettings& s = *settings_;
  for (char16_t* field : {s.server, s.port, s.from, s.to, s.cc, s.bcc, s.subject, s.template_name, s.body})
    field[0] = u'\0';
  WipeSecret(password_);
  password_.clear();
}

int32_t GenSMTPService::ServiceSendSMS(uint32_t, uint32_t, TalvexSmsRequest* request) {
  if (!initialised_) {
    logger_->Error("GenSMTPService::ServiceSendSMS - Service is not Initialized.");
    return TALVEX_NOT_INITIALISED;
  }
  if (!request) {
    logger_->Error("GenSMTPService::ServiceSendSMS - Invalid Parameter(s).");
    return TALVEX_INVALID_PARAMETER;
  }
  if (!options_ || !loader_) {
    logger_->Error("GenSMTPService::ServiceSendSMS - Invalid Configurations(s), Service Configurations not loaded.");
    return TALVEX_FAILED;
  }
  std::unique_ptr<CEmail> mailer;
  try {
    mailer = CreateMailer();
  } catch (const std::bad_alloc&) {
  }
  if (!mailer) {
    logger_->Error("GenSMTPService::ServiceSendSMS - Failed To Create Mailer object");
    return TALVEX_FAILED;
  }
  const TalvexSmtpSettings& s = *settings_;
  SmtpSecurity security = SmtpSecurity::kNone;
  bool known_security = ParseSecurity(security_, security);
  int32_t port = ParsePort(Text(s.port), security);
  if (port < 0)
    logger_->Error("GenSMTPService::ServiceSendSMS - SMTP port '%s' is not a number.",
                   Utf16ToUtf8(Text(s.port)).c_str());
  if (!known_security)
    logger_->Error("GenSMTPService::ServiceSendSMS - unknown [smtpsecurity] '%s' (none, starttls or tls).",
                   Utf16ToUtf8(security_).c_str());
  if (!known_security || !mailer->Init(s.server, port)) {
    logger_->Error("GenSMTPService::ServiceSendSMS - Failed To Initialize Mailer Object");
    return TALVEX_FAILED;
  }
  mailer->SetSubmission(security, Utf16ToUtf8(user_), Utf16ToUtf8(password_));

  // Property ids first, then the message's own placeholders, each in one pass:
  // a body line may hold [smsnumber], but nothing the message brings is expanded.
  std::u16string fields[6];
  std::vector<Placeholder> properties;
  if (AppendServiceProperties(loader_, options_->selectedservice, {u"[smtppassword]"}, properties)) {
    // The engine points `part` at the part being sent; a caller that did not
    // gets the host's whole text, read no further than its buffer.
    std::u16string part = request->part ? std::u16string(request->part)
                          : request->text
                              ? std::u16string(request->text, Utf16Length(request->text, request->text_capacity))
                              : std::u16string();
    std::u16string number = Utf8ToUtf16(platform::AnsiToUtf8(request->recipient ? request->recipient : ""));
    std::vector<Placeholder> message = {
        {u"[smsnumber]", number},
        {u"[smsmessage]", std::move(part)},
        {u"[smssender]",
         std::u16string(request->sender_name, Utf16Length(request->sender_name, std::size(request->sender_name)))},
    };
    static constexpr const char* kNames[6] = {"subject", "from", "to", "cc", "bcc", "body"};
    const std::u16string_view templates[6] = {Text(s.subject), Text(s.from), Text(s.to),
                                              Text(s.cc),      Text(s.bcc),  Text(s.body)};
    for (int i = 0; i < 6; ++i) {
      std::u16string text = ReplacePlaceholders(templates[i], properties, SIZE_MAX);
      if (i == 0 || i == 5) {
        fields[i] = ReplacePlaceholders(text, message);
        continue;
      }
      std::string list, problem;
      switch (FillAddressField(text, message, list, problem)) {
        case AddressFill::kFilled:
          fields[i] = Utf8ToUtf16(list);
          break;
        case AddressFill::kNotAPhoneNumber:
          logger_->Error(
              "GenSMTPService::ServiceSendSMS - number '%s' is not a phone number; it cannot go into the %s field.",
              PeerText(Utf16ToUtf8(number)).c_str(), kNames[i]);
          return TALVEX_INVALID_PARAMETER;
        case AddressFill::kUnusable:
          logger_->Error("GenSMTPService::ServiceSendSMS - unusable address in %s: '%s'", kNames[i], problem.c_str());
          logger_->Error("GenSMTPService::ServiceSendSMS - Failed To set email fields");
          return TALVEX_FAILED;
      }
    }
  }
  if (!mailer->SetEmailFields(fields[0].c_str(), fields[1].c_str(), fields[2].c_str(), fields[3].c_str(),
                              fields[4].c_str(), fields[5].c_str())) {
    logger_->Error("GenSMTPService::ServiceSendSMS - Failed To set email fields");
    return TALVEX_FAILED;
  }
  if (!mailer->SendEmail()) {
    logger_->Error("GenSMTPService::ServiceSendSMS - Failed To Send Email");
    return TALVEX_FAILED;
  }
  return TALVEX_OK;
}

}  // namespace talvenix
