// Arbitrary text as an e-mail template's address list, subject and message:
// the header lines built from it, and the placeholder replacement. Besides
// crashes and sanitizer reports, it stops when a header could start a header
// of its own (a line break not followed by a blank), when a subject line
// leaves ASCII or the line limit, or when a replacement grows past its limit
// or ends inside a surrogate pair.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "gateways/email/mail_message.hpp"
#include "gateways/email/placeholders.hpp"
#include "support/text_codec.hpp"

using namespace talvenix;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Every line break is CR LF followed by a blank (a folded line).
void CheckFolding(const std::string& header) {
  for (size_t i = 0; i < header.size(); ++i) {
    if (header[i] == '\n') Check(i > 0 && header[i - 1] == '\r');
    if (header[i] == '\r') Check(i + 2 < header.size() && header[i + 1] == '\n' && header[i + 2] == ' ');
  }
}

}  // namespace

// Input: address list, subject and message text, separated by NUL bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view parts[3];
  for (std::string_view& part : parts) {
    size_t end = input.find('\0');
    part = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  }
  // Texts reach the mailer through the codec, as valid UTF-8.
  std::string addresses = Utf16ToUtf8(Utf8ToUtf16(parts[0]));
  std::string subject = Utf16ToUtf8(Utf8ToUtf16(parts[1]));

  std::vector<mail::Address> list;
  std::string bad;
  if (mail::ParseAddressList(addresses, list, &bad)) {
    for (const mail::Address& a : list)
      Check(!a.address.empty() && a.address.find_first_of("\r\n <>") == std::string::npos);
    CheckFolding(mail::AddressHeader("To", list));
  }
  std::string header = mail::TextHeader("Subject", subject);
  CheckFolding(header);
  size_t line = 0;
  for (char c : header) {
    Check(static_cast<unsigned char>(c) < 0x80);
    line = c == '\n' ? 0 : line + 1;
    Check(line <= 998 + 1);
  }
  std::string body = mail::CanonicalLineEnds(parts[2]);
  for (size_t i = 0; i < body.size(); ++i)
    if (body[i] == '\n') Check(i > 0 && body[i - 1] == '\r');

  std::u16string message = Utf8ToUtf16(parts[2]);
  std::vector<Placeholder> table = {{u"[smsmessage]", message}, {u"[smsnumber]", Utf8ToUtf16(parts[0])}};
  std::u16string out = ReplacePlaceholders(Utf8ToUtf16(parts[1]), table);
  Check(out.size() <= kMaxReplacedChars);
  Check(out.empty() || !IsHighSurrogate(out.back()) || out.size() < kMaxReplacedChars);
  return 0;
}
