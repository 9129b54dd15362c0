#pragma once
// The parts of an e-mail that we compose ourselves: address lists, header
// lines a mail reader decodes exactly (RFC 2047 encoded words for text that
// is not plain ASCII), the Date and Message-ID headers, and canonical line
// ends. Every function is pure; all text is UTF-8.

#include <ctime>
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

// "Name: value" for an address header, folded between addresses; display
// names that are not plain words are quoted or, when not ASCII, encoded.
std::string AddressHeader(std::string_view name, const std::vector<Address>& addresses);

// "Name: value" for free text (Subject). Line breaks and control characters
// become blanks, so the text can never start a header of its own; non-ASCII
// text goes out as encoded words, long ASCII text is folded at blanks.
std::string TextHeader(std::string_view name, std::string_view text);

// "Date: Tue, 08 Dec 2026 01:44:21 +0000" (UTC, independent of the locale).
std::string DateHeader(std::time_t when);

// "Message-ID: <32 random hex digits@domain>"; the domain is the sender's
// when it is a plain host name, else "talvenix.invalid".
std::string MessageIdHeader(std::string_view sender_address);

// Every line ends in CR LF: a lone CR or a lone LF becomes CR LF.
std::string CanonicalLineEnds(std::string_view text);

}  // namespace talvenix::mail
