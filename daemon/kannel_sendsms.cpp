// SPDX-License-Identifier: Apache-2.0
#include "daemon/kannel_sendsms.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>

#include "daemon/message_input.hpp"
#include "support/text_codec.hpp"

namespace talvenix::daemon {
namespace {

// Kannel's parameters that change what is sent, which this daemon cannot
// do: taking the message while dropping them would send something else.
constexpr const char* kNotCarriedOut[] = {"udh", "flash", "mclass", "mwi",     "compress", "alt-dcs",
                                          "pid", "rpi",   "binfo",  "account", "meta-data"};

std::optional<int64_t> WholeNumber(std::string_view text) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool SameCharset(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

// The text in UTF-8 from the charset Kannel documents for sendsms; nothing
// for a charset it does not name or bytes that are not in it.
std::optional<std::string> TextInUtf8(const std::string& text, std::string_view charset) {
  if (SameCharset(charset, "UTF-8")) return text;  // bad bytes become U+FFFD when the message is checked
  if (SameCharset(charset, "ISO-8859-1") || SameCharset(charset, "LATIN1"))
    return SingleByteToUtf8(text, SingleByteCharset::kLatin1);
  if (SameCharset(charset, "WINDOWS-1252") || SameCharset(charset, "CP1252"))
    return SingleByteToUtf8(text, SingleByteCharset::kWindows1252);
  if (SameCharset(charset, "UTF-16BE") || SameCharset(charset, "UCS-2")) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::u16string units;
    for (size_t i = 0; i < text.size(); i += 2)
      units.push_back(
          static_cast<char16_t>(static_cast<unsigned char>(text[i]) << 8 | static_cast<unsigned char>(text[i + 1])));
    return Utf16ToUtf8(units);
  }
  return std::nullopt;
}

std::vector<std::string> Blanks(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while ((at = text.find_first_not_of(" \t\r\n", at)) != std::string::npos) {
    size_t end = text.find_first_of(" \t\r\n", at);
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

}  // namespace

HttpResponse KannelAnswer(int status, std::string text) {
  return {status, "text/plain; charset=utf-8", std::move(text), {}};
}

std::variant<KannelRequest, KannelRefusal> ReadKannelSendSms(std::string_view form, int64_t now_ms,
                                                             size_t max_recipients) {
  auto param = [&](const char* name, const char* other = nullptr) {
    std::optional<std::string> value = FormParam(form, name);
    if (!value && other) value = FormParam(form, other);
    return value.value_or("");
  };
  auto refused = [](std::string text) { return KannelRefusal{400, std::move(text)}; };
  for (const char* name : kNotCarriedOut)
    if (!param(name).empty()) return refused(std::string(name) + " is not supported by this gateway, rejected");

  KannelRequest out;
  out.password = param("password", "pass");
  NewMessage m;
  m.from = param("from");
  m.group = param("smsc");  // Kannel's named SMSC: the daemons that send it
  // Kannel's coding: 0 GSM-7, 1 8-bit data, 2 UCS-2. The module picks GSM-7
  // or UTF-16 by the text itself; 8-bit data it cannot send.
  const std::string coding = param("coding");
  std::optional<int64_t> coding_value = coding.empty() ? 0 : WholeNumber(coding);
  if (!coding_value || *coding_value < 0 || *coding_value > 2) return refused("Coding field misformed, rejected");
  if (*coding_value == 1) return refused("8-bit coding (coding=1) is not supported, rejected");
  std::string charset = param("charset");
  if (charset.empty()) charset = *coding_value == 2 ? "UTF-16BE" : "UTF-8";
  std::optional<std::string> text = TextInUtf8(param("text"), charset);
  if (!text) return refused("Charset or body misformed, rejected");
  m.text = std::move(*text);

  if (const std::string deferred = param("deferred"); !deferred.empty()) {
    std::optional<int64_t> minutes = WholeNumber(deferred);
    if (!minutes || *minutes < 0 || *minutes > kMaxAheadMinutes) return refused("Deferred field misformed, rejected");
    m.send_at_ms = now_ms + *minutes * kMinuteMs;
  }
  if (const std::string validity = param("validity"); !validity.empty()) {
    std::optional<int64_t> minutes = WholeNumber(validity);
    if (!minutes || SetValidity(m, *minutes, "validity", now_ms)) return refused("Validity field misformed, rejected");
  }
  if (const std::string priority = param("priority"); !priority.empty()) {
    std::optional<int64_t> value = WholeNumber(priority);
    if (!value || *value < 0 || *value > kMaxPriority) return refused("Priority field misformed, rejected");
    m.priority = static_cast<int>(*value);
  }
  m.callback_url = param("dlr-url", "dlrurl");
  if (!m.callback_url.empty()) {
    m.kannel_dlr_mask = 8 | 16;
    if (const std::string mask = param("dlr-mask", "dlrmask"); !mask.empty()) {
      std::optional<int64_t> value = WholeNumber(mask);
      if (!value || *value < 0 || *value > 31) return refused("DLR-Mask field misformed, rejected");
      m.kannel_dlr_mask = static_cast<int>(*value);
    }
  }

  // Several recipients are separated by blanks; an unencoded '+' reads as
  // one, so "+4512345678" is the number 4512345678, as Kannel reads it.
  const std::vector<std::string> recipients = Blanks(param("to"));
  if (recipients.empty()) return refused("Missing receiver number, rejected");
  if (recipients.size() > max_recipients)
    return refused("Too many receivers (at most " + std::to_string(max_recipients) + "), rejected");
  for (const std::string& to : recipients) {
    out.messages.push_back(m);
    out.messages.back().to = to;
  }
  return out;
}

}  // namespace talvenix::daemon
