// SPDX-License-Identifier: Apache-2.0
#include "daemon/message_input.hpp"

#include <algorithm>
#include <ctime>

#include "daemon/webhook_url.hpp"
#include "support/text_codec.hpp"

namespace talvenix::daemon {
namespace {

constexpr size_t kMaxTextUnits = 1600;  // UTF-16 units: ten parts of 160
constexpr size_t kMaxFromChars = 20;
constexpr size_t kMaxClientRef = 128;
constexpr int64_t kMaxAheadMs = kMaxAheadMinutes * kMinuteMs;

// A number of exactly `width` digits at `at`.
bool Digits(std::string_view text, size_t at, size_t width, int& out) {
  if (at + width > text.size()) return false;
  out = 0;
  for (size_t i = at; i < at + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

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

std::vector<std::string> HonouredFields(bool gateway_has_own_sender) {
  std::vector<std::string> fields;
  for (const char* f : kMessageFields)
    if (!gateway_has_own_sender || std::string_view(f) != "from") fields.emplace_back(f);
  return fields;
}

std::optional<int64_t> ParseRfc3339(std::string_view t) {
  // 2026-12-10T09:30:00[.fff…](Z|±hh:mm)
  int year, month, day, hour, minute, second;
  if (!Digits(t, 0, 4, year) || t.size() < 20 || t[4] != '-' || !Digits(t, 5, 2, month) || t[7] != '-' ||
      !Digits(t, 8, 2, day) || (t[10] != 'T' && t[10] != 't' && t[10] != ' ') || !Digits(t, 11, 2, hour) ||
      t[13] != ':' || !Digits(t, 14, 2, minute) || t[16] != ':' || !Digits(t, 17, 2, second))
    return std::nullopt;
  size_t at = 19;
  int64_t ms = 0;
  if (t[at] == '.') {
    size_t first = ++at;
    for (int scale = 100; at < t.size() && t[at] >= '0' && t[at] <= '9'; ++at, scale /= 10) ms += (t[at] - '0') * scale;
    if (at == first) return std::nullopt;
  }
  int64_t offset_minutes = 0;
  if (at < t.size() && (t[at] == 'Z' || t[at] == 'z')) {
    ++at;
  } else if (at < t.size() && (t[at] == '+' || t[at] == '-')) {
    int oh, om;
    if (!Digits(t, at + 1, 2, oh) || at + 3 >= t.size() || t[at + 3] != ':' || !Digits(t, at + 4, 2, om) || oh > 23 ||
        om > 59)
      return std::nullopt;
    offset_minutes = (t[at] == '-' ? -1 : 1) * (oh * 60 + om);
    at += 6;
  } else {
    return std::nullopt;
  }
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (at != t.size() || year < 1970 || month < 1 || month > 12 || day < 1 ||
      day > kDays[month - 1] - (month == 2 && !leap) || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  std::tm utc{};
  utc.tm_year = year - 1900;
  utc.tm_mon = month - 1;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  utc.tm_min = minute;
  utc.tm_sec = std::min(second, 59);  // a leap second is the second before it
  return static_cast<int64_t>(timegm(&utc)) * 1000 + ms - offset_minutes * kMinuteMs;
}

std::optional<FieldError> SetValidity(NewMessage& m, int64_t minutes, const char* field, int64_t now_ms) {
  if (minutes < 1 || minutes > kMaxAheadMinutes)
    return FieldError{field, "expected whole minutes, from 1 to " + std::to_string(kMaxAheadMinutes)};
  m.expires_ms = std::max(m.send_at_ms, now_ms) + minutes * kMinuteMs;
  return std::nullopt;
}

std::optional<FieldError> CheckMessage(NewMessage& m, const AddressPolicy& webhook_policy, int64_t now_ms) {
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
  if (m.send_at_ms > now_ms + kMaxAheadMs) return FieldError{"send_at", "more than a year ahead"};
  if (m.expires_ms > 0 && m.expires_ms <= std::max(m.send_at_ms, now_ms))
    return FieldError{"valid_until", m.send_at_ms > now_ms ? "not after send_at" : "already past"};
  if (m.expires_ms > std::max(m.send_at_ms, now_ms) + kMaxAheadMs)
    return FieldError{"valid_until", "more than a year after the message is due"};
  if (m.priority < 0 || m.priority > kMaxPriority)
    return FieldError{"priority", "expected 0 to " + std::to_string(kMaxPriority)};
  return std::nullopt;
}

SplitCheck CheckSplit(const std::string& text, const sms::FitRules& rules) {
  const std::u16string units = Utf8ToUtf16(text);
  const sms::TextFit fit = sms::FitText(units, rules);
  SplitCheck check{static_cast<int>(fit.parts_needed), {}};
  if (fit.kept < units.size())
    check.refusal = "text needs " + std::to_string(fit.parts_needed) + " parts, " +
                    (rules.split ? "maxsmssplit is " + std::to_string(fit.max_parts) : std::string("splitsms is off"));
  return check;
}

}  // namespace talvenix::daemon
