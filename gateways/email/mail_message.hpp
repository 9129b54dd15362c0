// SPDX-License-Identifier: Apache-2.0
#pragma once
// The e-mail as we compose it ourselves: address lists, header lines a mail
// reader decodes exactly (RFC 2047 encoded words for text that is not plain
// ASCII), the Date and Message-ID headers, and one plain-text body part that
// a provider reading the raw body gets as text. Every function is pure but
// for the random Message-ID; all text is UTF-8.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talvenix::mail {

struct Address {
  std::string display_name;  // unquoted, may be empty or non-ASCII
  std::string address;       // the bare address, without angle brackets
};

// Splits "A <a@x>, b@y; \"Doe, J\" <c@z>" into addresses (',' and ';'
// separate entries outside quotes, angle brackets and comments; empty entries
// are skipped). False, with the offending entry in *bad_entry, when an entry
// has no usable bare address.
bool ParseAddressList(std::string_view text, std::vector<Address>& out, std::string* bad_entry);

// The list as text that ParseAddressList reads back to the same addresses:
// display names quoted (control characters as blanks), ", " between entries.
std::string AddressListText(const std::vector<Address>& addresses);

// "Name: value" for an address header, folded between addresses; display
// names that are not plain words are quoted or, when not ASCII, encoded.
std::string AddressHeader(std::string_view name, const std::vector<Address>& addresses);

// "Name: value" for free text (Subject). Line breaks and control characters
// become blanks, so the text can never start a header of its own; non-ASCII
// text goes out as encoded words, long ASCII text is folded at blanks.
std::string TextHeader(std::string_view name, std::string_view text);

// "Date: Tue, 08 Dec 2026 01:44:21 +0000" (UTC, independent of the locale).
std::string DateHeader(std::chrono::sys_seconds when);

// "Message-ID: <32 random hex digits@domain>"; the domain is the sender's
// when it is a plain host name, else "talvenix.invalid".
std::string MessageIdHeader(std::string_view sender_address);

// Every line ends in CR LF: a lone CR or a lone LF becomes CR LF.
std::string CanonicalLineEnds(std::string_view text);

// A body as it goes on the wire: "7bit" and the text itself when it is
// printable ASCII in lines of at most 998 bytes, else "quoted-printable"
// (lines of at most 76). Line ends are CR LF; a text that is not empty ends
// in one.
struct EncodedBody {
  const char* encoding;
  std::string text;
};
EncodedBody EncodeBody(std::string_view text);

struct MessageFields {
  std::vector<Address> from, to, cc;  // empty lists give no header
  std::optional<std::string> subject;
  std::string body;
};

// The whole message: Date, Message-ID, From, To, Cc, Subject, MIME-Version,
// Content-Type (text/plain; charset=utf-8) and Content-Transfer-Encoding,
// then the body; CR LF line ends throughout, ending in CR LF.
std::string ComposeMessage(const MessageFields& fields, std::chrono::sys_seconds when);

}  // namespace talvenix::mail
