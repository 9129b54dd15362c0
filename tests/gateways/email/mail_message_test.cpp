// SPDX-License-Identifier: Apache-2.0
// Message composition and placeholder replacement where a mail reader would
// not notice the fault: address lists that are split wrongly, header lines
// that break the line limits, cuts inside a character.

#include <gtest/gtest.h>

#include <algorithm>

#include "gateways/email/address_fields.hpp"
#include "gateways/email/mail_message.hpp"
#include "gateways/email/placeholders.hpp"
#include "support/text_codec.hpp"

namespace talvenix {
namespace {

std::vector<std::string> Addresses(std::string_view text) {
  std::vector<mail::Address> list;
  std::string bad;
  EXPECT_TRUE(mail::ParseAddressList(text, list, &bad)) << bad;
  std::vector<std::string> out;
  for (const auto& a : list) out.push_back(a.display_name + "|" + a.address);
  return out;
}

TEST(MailAddresses, SeparatorsInsideQuotesBracketsAndCommentsDoNotSplit) {
  EXPECT_EQ(Addresses("\"Doe, Jane; Dr\" <jane@x.org>;b@y.org , (team, a) c@z.org,,"),
            (std::vector<std::string>{"Doe, Jane; Dr|jane@x.org", "|b@y.org", "|c@z.org"}));
  EXPECT_EQ(Addresses("  "), std::vector<std::string>{});
  EXPECT_EQ(Addresses("Q \"\\\"Boss\\\"\" <q@x.org>"), std::vector<std::string>{"Q \"Boss\"|q@x.org"});

  for (const char* bad : {"no-at-sign", "Jane <jane@x.org", "a b@x.org", "\"open@x.org", "x@"}) {
    std::vector<mail::Address> list;
    std::string entry;
    EXPECT_FALSE(mail::ParseAddressList(bad, list, &entry)) << bad;
    EXPECT_EQ(entry, bad);
  }
}

std::vector<std::string> Lines(const std::string& header) {
  std::vector<std::string> lines;
  size_t start = 0, eol;
  while ((eol = header.find("\r\n", start)) != std::string::npos) {
    lines.push_back(header.substr(start, eol - start));
    start = eol + 2;
  }
  lines.push_back(header.substr(start));
  return lines;
}

TEST(MailHeaders, LongAndNonAsciiTextIsFoldedWithinTheLimits) {
  std::string words;
  for (int i = 0; i < 60; ++i) words += "word" + std::to_string(i) + " ";
  std::string folded = mail::TextHeader("Subject", words);
  for (const std::string& line : Lines(folded)) EXPECT_LE(line.size(), 78u) << line;
  std::string unfolded;
  for (const std::string& line : Lines(folded)) unfolded += line;
  EXPECT_EQ(unfolded, "Subject: " + words);  // unfolding gives the text back exactly

  std::string accented;
  for (int i = 0; i < 50; ++i) accented += "\xc3\xa9\xf0\x9f\x98\x80";
  for (const std::string& line : Lines(mail::TextHeader("Subject", accented))) {
    EXPECT_LE(line.size(), 78u);
    EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](char c) { return c > 0; }));  // ASCII on the wire
  }

  std::vector<mail::Address> many(12, mail::Address{"R\xc3\xa9"
                                                    "cipient Name",
                                                    "someone.long@example.org"});
  for (const std::string& line : Lines(mail::AddressHeader("To", many))) EXPECT_LE(line.size(), 78u) << line;
}

TEST(MailHeaders, EncodedWordsPadTheirLastGroup) {
  EXPECT_EQ(mail::TextHeader("Subject", "\xc3\xa9"), "Subject: =?utf-8?B?w6k=?=");
  EXPECT_EQ(mail::TextHeader("Subject",
                             "\xc3\xa9"
                             "a"),
            "Subject: =?utf-8?B?w6lh?=");
  EXPECT_EQ(mail::TextHeader("Subject",
                             "\xc3\xa9"
                             "ab"),
            "Subject: =?utf-8?B?w6lhYg==?=");
}

TEST(MailHeaders, LineEndsBecomeCrLf) {
  EXPECT_EQ(mail::CanonicalLineEnds("a\nb\r\nc\rd\r\r\n"), "a\r\nb\r\nc\r\nd\r\n\r\n");
  auto at = [](int64_t seconds) { return std::chrono::sys_seconds{std::chrono::seconds{seconds}}; };
  EXPECT_EQ(mail::DateHeader(at(0)), "Date: Thu, 01 Jan 1970 00:00:00 +0000");
  EXPECT_EQ(mail::DateHeader(at(1709251199)), "Date: Thu, 29 Feb 2024 23:59:59 +0000");
  // Past 2038, where a 32-bit time_t (MinGW's) would wrap.
  EXPECT_EQ(mail::DateHeader(at(4102444800)), "Date: Fri, 01 Jan 2100 00:00:00 +0000");
  EXPECT_NE(mail::MessageIdHeader("a@b.example"), mail::MessageIdHeader("a@b.example"));
  EXPECT_NE(mail::MessageIdHeader("odd@[1.2.3.4]").find("@talvenix.invalid>"), std::string::npos);
}

TEST(MailBody, QuotedPrintableKeepsBlanksAtLineEndsAndBreaksLongLines) {
  mail::EncodedBody body = mail::EncodeBody("a \nb=c\xc3\xa9\t");
  EXPECT_STREQ(body.encoding, "quoted-printable");
  EXPECT_EQ(body.text, "a=20\r\nb=3Dc=C3=A9=09\r\n");
  // A soft break never splits "=XX"; every line stays within 76.
  body = mail::EncodeBody(std::string(74, 'x') + "\xc3\xa9");
  EXPECT_EQ(body.text, std::string(74, 'x') + "=\r\n=C3=A9\r\n");
  EXPECT_STREQ(mail::EncodeBody(std::string(999, 'x')).encoding, "quoted-printable");
  EXPECT_STREQ(mail::EncodeBody(std::string(998, 'x')).encoding, "7bit");
}

TEST(AddressFields, PhoneNumbers) {
  for (const char16_t* number : {u"+1 (555) 010-0100", u"555.0100", u"15550100"})
    EXPECT_TRUE(IsPhoneNumber(number)) << Utf16ToUtf8(number);
  for (const char16_t* number : {u"", u"+", u"1+2", u"a@b.example", u"1,2", u"1<2>", u"1\n2"})
    EXPECT_FALSE(IsPhoneNumber(number)) << Utf16ToUtf8(number);
}

TEST(Placeholders, CutAt4095NeverSplitsASurrogatePair) {
  std::vector<Placeholder> table = {{u"[smsmessage]", std::u16string(4094, u'x') + u"\U0001F600"}};
  std::u16string out = ReplacePlaceholders(u"[smsmessage] tail", table);
  EXPECT_EQ(out.size(), 4094u);
  EXPECT_FALSE(IsHighSurrogate(out.back()));

  // Earlier entries win where two ids start at the same place; unknown ids stay.
  table = {{u"[a]", u"1"}, {u"[a]", u"2"}, {u"[ab]", u"3"}};
  EXPECT_EQ(ReplacePlaceholders(u"[a][ab][b][a", table), u"13[b][a");
}

}  // namespace
}  // namespace talvenix
