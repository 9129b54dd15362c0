// SPDX-License-Identifier: Apache-2.0
// Arbitrary text as an e-mail template's address list, subject and message:
// the header lines built from it, the encoded body, the address list filled
// with host values, and the placeholder replacement. Besides crashes and
// sanitizer reports, it stops when a header could start a header of its own
// (a line break not followed by a blank), when a subject line leaves ASCII
// or the line limit, when the body on the wire leaves ASCII or its line
// limit or does not decode to the text, when a filled address list holds
// other addresses than the template's, or when a replacement grows past its
// limit or ends inside a surrogate pair.

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "gateways/email/address_fields.hpp"
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

// The body as a reader gets it back: soft breaks removed, =XX decoded.
std::string Decoded(const mail::EncodedBody& body) {
  if (std::string_view(body.encoding) == "7bit") return body.text;
  std::string out;
  const std::string& t = body.text;
  auto hex = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] != '=') {
      out += t[i];
    } else if (t.compare(i + 1, 2, "\r\n") == 0) {
      i += 2;
    } else {
      Check(i + 2 < t.size() && std::isxdigit(static_cast<unsigned char>(t[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(t[i + 2])));
      out += static_cast<char>(hex(t[i + 1]) * 16 + hex(t[i + 2]));
      i += 2;
    }
  }
  return out;
}

void CheckBody(std::string_view text) {
  mail::EncodedBody body = mail::EncodeBody(text);
  size_t limit = std::string_view(body.encoding) == "7bit" ? 998 : 76;
  size_t line = 0;
  for (size_t i = 0; i < body.text.size(); ++i) {
    char c = body.text[i];
    Check(static_cast<unsigned char>(c) < 0x80 && c != '\0');
    if (c == '\r') Check(i + 1 < body.text.size() && body.text[i + 1] == '\n');
    if (c == '\n') Check(i > 0 && body.text[i - 1] == '\r');
    line = c == '\n' ? 0 : line + 1;
    Check(line <= limit + 1);  // + 1 for the CR
  }
  std::string expected = mail::CanonicalLineEnds(text);
  if (!expected.empty() && expected.back() != '\n') expected += "\r\n";
  Check(Decoded(body) == expected);
}

// Filled with any values, the list has the template's addresses, the number
// standing in where the template put it.
void CheckFilledAddresses(const std::string& field, const std::u16string& value, const std::u16string& text) {
  std::vector<Placeholder> message = {{u"[smsnumber]", value}, {u"[smsmessage]", text}, {u"[smssender]", value}};
  std::string filled, problem;
  if (FillAddressField(Utf8ToUtf16(field), message, filled, problem) != AddressFill::kFilled) return;
  std::vector<mail::Address> before, after;
  Check(mail::ParseAddressList(field, before, nullptr) && mail::ParseAddressList(filled, after, nullptr));
  Check(before.size() == after.size());
  for (size_t i = 0; i < before.size(); ++i)
    if (before[i].address.find("[smsnumber]") == std::string::npos) Check(before[i].address == after[i].address);
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
  CheckBody(parts[2]);
  CheckFilledAddresses(addresses, Utf8ToUtf16(parts[1]), Utf8ToUtf16(parts[2]));

  std::u16string message = Utf8ToUtf16(parts[2]);
  std::vector<Placeholder> table = {{u"[smsmessage]", message}, {u"[smsnumber]", Utf8ToUtf16(parts[0])}};
  std::u16string out = ReplacePlaceholders(Utf8ToUtf16(parts[1]), table);
  Check(out.size() <= kMaxReplacedChars);
  Check(out.empty() || !IsHighSurrogate(out.back()) || out.size() < kMaxReplacedChars);
  return 0;
}
