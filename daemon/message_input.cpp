// SPDX-License-Identifier: Apache-2.0
#include "daemon/message_input.hpp"

#include "daemon/webhook_url.hpp"
#include "support/text_codec.hpp"

namespace talvenix::daemon {
namespace {

constexpr size_t kMaxTextUnits = 1600;  // UTF-16 units: ten parts of 160
constexpr size_t kMaxFromChars = 20;
constexpr size_t kMaxClientRef = 128;

bool IsNumber(const std::string& to) {
  size_t start = !to.empty() && to[0] == '+' ? 1 : 0;
  size_t digits = to.size() - start;
  if (digits < 3 || digits > 20) return false;
  for (size_t i = start; i < to.size(); ++i)
    if (to[i] < '0' || to[i] > '9') return false;
  return true;
}

bool HasControl(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

}  // namespace

std::optional<FieldError> CheckMessage(NewMessage& m, const AddressPolicy& webhook_policy) {
  if (m.to.empty()) return FieldError{"to", "missing"};
  if (!IsNumber(m.to)) return FieldError{"to", "expected a phone number: an optional + and 3 to 20 digits"};
  if (m.text.empty()) return FieldError{"text", "missing or empty"};
  // The module takes a text up to its first NUL: the rest would be lost without a word.
  if (m.text.find('\0') != std::string::npos)
    return FieldError{"text", "holds a NUL character (\\u0000), which a message cannot carry"};
  std::u16string text = Utf8ToUtf16(m.text);
  if (text.size() > kMaxTextUnits)
    return FieldError{"text", "longer than " + std::to_string(kMaxTextUnits) + " UTF-16 units"};
  m.text = Utf16ToUtf8(text);
  if (Utf8ToUtf16(m.from).size() > kMaxFromChars || HasControl(m.from))
    return FieldError{"from", "at most " + std::to_string(kMaxFromChars) + " printable characters"};
  m.from = Utf16ToUtf8(Utf8ToUtf16(m.from));
  if (m.client_ref.size() > kMaxClientRef || HasControl(m.client_ref))
    return FieldError{"client_ref", "at most " + std::to_string(kMaxClientRef) + " printable bytes"};
  m.client_ref = Utf16ToUtf8(Utf8ToUtf16(m.client_ref));
  if (!m.callback_url.empty()) {
    const char* field = m.kannel_dlr_mask >= 0 ? "dlr-url" : "callback_url";
    std::string why;
    std::optional<WebhookUrl> url = ParseWebhookUrl(m.callback_url, why);
    if (!url) return FieldError{field, "not a receiver's URL: " + why};
    if (std::string refusal = webhook_policy.RefusalOfLiteral(url->host); !refusal.empty())
      return FieldError{field, "not a receiver the daemon sends to: " + refusal};
    // Stored as libcurl reads it, so what is delivered to is what was checked.
    m.callback_url = url->url;
  }
  return std::nullopt;
}

std::string SplitRefusal(const std::string& text, const sms::FitRules& rules) {
  const std::u16string units = Utf8ToUtf16(text);
  const sms::TextFit fit = sms::FitText(units, rules);
  if (fit.kept >= units.size()) return {};
  return "text needs " + std::to_string(fit.parts_needed) + " parts, " +
         (rules.split ? "maxsmssplit is " + std::to_string(fit.max_parts) : std::string("splitsms is off"));
}

}  // namespace talvenix::daemon
