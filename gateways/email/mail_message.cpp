// SPDX-License-Identifier: Apache-2.0
#include "gateways/email/mail_message.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>

#include "support/text_codec.hpp"

namespace talvenix::mail {
namespace {

constexpr size_t kFoldAt = 78;     // recommended header line length
constexpr size_t kMaxLine = 998;   // hard limit of any line
constexpr size_t kMaxQpLine = 76;  // limit of a quoted-printable line
constexpr size_t kWordBytes = 45;  // UTF-8 bytes per encoded word: 60 base64 characters, 72 in all
constexpr size_t kMaxPhrase = 60;  // longer display names go out as encoded words, which can fold

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool IsPlainAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7E) return false;
  return s.find("=?") == std::string_view::npos;  // would read as an encoded word
}

// Printable ASCII characters that may stand in a phrase without quotes.
bool IsAtext(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

// Control characters (CR and LF among them) never reach a header.
std::string Blanked(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return out;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve(4 * ((bytes.size() + 2) / 3));
  for (size_t i = 0; i < bytes.size(); i += 3) {
    size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(group >> (18 - 6 * k)) & 0x3F] : '=';
  }
  return out;
}

// The text as B-encoded words of at most 75 characters, one per folded line;
// no word ends inside a UTF-8 sequence. `used` is what the first line holds
// already, so that line stays within the recommended length too.
std::string EncodedWords(std::string_view text, size_t used = 0) {
  std::string out;
  while (!text.empty()) {
    size_t room = used + 12 + 8 < kFoldAt ? (kFoldAt - used - 12) / 4 * 3 : 6;
    size_t n = CutLength(text, std::min(kWordBytes, room));
    if (n == 0) n = std::min<size_t>(text.size(), 4);
    if (!out.empty()) out += "\r\n ";
    out += "=?utf-8?B?" + Base64(text.substr(0, n)) + "?=";
    text.remove_prefix(n);
    used = 1;
  }
  return out;
}

size_t LastLineLength(const std::string& s) {
  size_t eol = s.rfind('\n');
  return eol == std::string::npos ? s.size() : s.size() - eol - 1;
}

std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string Phrase(std::string_view name) {
  std::string clean = Blanked(name);
  if (!IsPlainAscii(clean) || clean.size() > kMaxPhrase) return EncodedWords(clean);
  bool atoms = !clean.empty() && clean.front() != ' ' && clean.back() != ' ' && clean.find("  ") == std::string::npos;
  for (char c : clean) atoms = atoms && (c == ' ' || IsAtext(c));
  return atoms ? clean : Quoted(clean);
}

std::string Mailbox(const Address& a) {
  if (a.display_name.empty()) return a.address;
  return Phrase(a.display_name) + " <" + a.address + ">";
}

// Comments "(...)" become one blank; quoted strings are kept as written.
std::string WithoutComments(std::string_view entry) {
  std::string out;
  bool quoted = false;
  int depth = 0;
  for (size_t i = 0; i < entry.size(); ++i) {
    char c = entry[i];
    if (depth > 0) {
      if (c == '\\')
        ++i;
      else if (c == '(')
        ++depth;
      else if (c == ')' && --depth == 0)
        out += ' ';
      continue;
    }
    if (quoted) {
      out += c;
      if (c == '\\' && i + 1 < entry.size())
        out += entry[++i];
      else if (c == '"')
        quoted = false;
    } else if (c == '(') {
      depth = 1;
    } else {
      if (c == '"') quoted = true;
      out += c;
    }
  }
  return out;
}

// Display name without its quotes and escapes.
std::string Unquoted(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '"') continue;
    if (s[i] == '\\' && i + 1 < s.size()) ++i;
    out += s[i];
  }
  return std::string(Trim(out));
}

bool IsUsableAddress(std::string_view a) {
  size_t at = a.rfind('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == a.size()) return false;
  for (unsigned char c : a)
    if (c <= 0x20 || c == 0x7F || std::string_view("<>(),;:\"\\").find(static_cast<char>(c)) != std::string_view::npos)
      return false;
  return true;
}

bool ParseEntry(std::string_view entry, std::vector<Address>& out) {
  std::string clean = WithoutComments(entry);
  std::string_view text = Trim(clean);
  if (text.empty()) return true;
  Address a;
  bool quoted = false;
  size_t open = std::string_view::npos;
  for (size_t i = 0; i < text.size() && open == std::string_view::npos; ++i) {
    if (quoted && text[i] == '\\')
      ++i;
    else if (text[i] == '"')
      quoted = !quoted;
    else if (!quoted && text[i] == '<')
      open = i;
  }
  if (open != std::string_view::npos) {
    size_t close = text.find('>', open);
    if (close == std::string_view::npos || !Trim(text.substr(close + 1)).empty()) return false;
    a.address = std::string(Trim(text.substr(open + 1, close - open - 1)));
    a.display_name = Unquoted(text.substr(0, open));
  } else {
    a.address = std::string(text);
  }
  if (!IsUsableAddress(a.address)) return false;
  out.push_back(std::move(a));
  return true;
}

}  // namespace

bool ParseAddressList(std::string_view text, std::vector<Address>& out, std::string* bad_entry) {
  auto entry = [&](std::string_view e) {
    if (ParseEntry(e, out)) return true;
    if (bad_entry) *bad_entry = std::string(Trim(e));
    return false;
  };
  bool quoted = false;
  int comment = 0, angle = 0;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted || comment > 0) {
      if (c == '\\')
        ++i;
      else if (quoted && c == '"')
        quoted = false;
      else if (!quoted && c == '(')
        ++comment;
      else if (!quoted && c == ')')
        --comment;
      continue;
    }
    if (c == '"')
      quoted = true;
    else if (c == '(')
      comment = 1;
    else if (c == '<')
      ++angle;
    else if (c == '>' && angle > 0)
      --angle;
    else if ((c == ',' || c == ';') && angle == 0) {
      if (!entry(text.substr(start, i - start))) return false;
      start = i + 1;
    }
  }
  return entry(text.substr(start));
}

std::string AddressListText(const std::vector<Address>& addresses) {
  std::string out;
  for (const Address& a : addresses) {
    if (!out.empty()) out += ", ";
    out += a.display_name.empty() ? a.address : Quoted(Blanked(a.display_name)) + " <" + a.address + ">";
  }
  return out;
}

std::string AddressHeader(std::string_view name, const std::vector<Address>& addresses) {
  std::string out = std::string(name) + ":";
  for (size_t i = 0; i < addresses.size(); ++i) {
    std::string mailbox = Mailbox(addresses[i]);
    if (i > 0) out += ",";
    size_t first_line = mailbox.find('\r');
    size_t width = first_line == std::string::npos ? mailbox.size() : first_line;
    out += (i > 0 && LastLineLength(out) + 1 + width > kFoldAt) ? "\r\n " : " ";
    out += mailbox;
  }
  return out;
}

std::string TextHeader(std::string_view name, std::string_view text) {
  std::string clean = Blanked(text);
  std::string out = std::string(name) + ":";
  if (!IsPlainAscii(clean)) return out + " " + EncodedWords(clean, out.size() + 1);
  // Folding inserts CR LF before a blank, so unfolding gives back the text exactly.
  size_t line = out.size();
  size_t pos = 0;
  while (true) {
    size_t blank = clean.find(' ', pos);
    std::string_view word = std::string_view(clean).substr(pos, blank == std::string::npos ? blank : blank - pos);
    if (!word.empty() && line + 1 + word.size() > kFoldAt && line > name.size() + 1) {
      out += "\r\n";
      line = 0;
    }
    out += ' ';
    out += word;
    line += 1 + word.size();
    if (line > kMaxLine) return std::string(name) + ": " + EncodedWords(clean, name.size() + 2);
    if (blank == std::string::npos) break;
    pos = blank + 1;
  }
  return out;
}

std::string DateHeader(std::chrono::sys_seconds when) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  using namespace std::chrono;
  sys_days day = floor<days>(when);
  year_month_day date{day};
  hh_mm_ss time{when - day};
  char text[64];
  std::snprintf(text, sizeof text, "Date: %s, %02u %s %04d %02d:%02d:%02d +0000", kDays[weekday{day}.c_encoding()],
                static_cast<unsigned>(date.day()), kMonths[static_cast<unsigned>(date.month()) - 1],
                static_cast<int>(date.year()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
  return text;
}

std::string MessageIdHeader(std::string_view sender_address) {
  std::string domain = "talvenix.invalid";
  size_t at = sender_address.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view d = sender_address.substr(at + 1);
    bool host = !d.empty() && d.front() != '.' && d.back() != '.';
    for (char c : d)
      host =
          host && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-');
    if (host) domain = std::string(d);
  }
  // The system's random source on every platform (the C runtime's rand_s on Windows).
  std::random_device device;
  unsigned char id[16];
  for (unsigned char& b : id) b = static_cast<unsigned char>(device());
  std::string out = "Message-ID: <";
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned char b : id) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out + "@" + domain + ">";
}

std::string CanonicalLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

EncodedBody EncodeBody(std::string_view text) {
  std::string lines = CanonicalLineEnds(text);
  if (!lines.empty() && lines.back() != '\n') lines += "\r\n";
  bool plain = true;
  size_t line = 0;
  for (size_t i = 0; i < lines.size() && plain; ++i) {
    unsigned char c = static_cast<unsigned char>(lines[i]);
    if (c == '\r' && lines[i + 1] == '\n') {
      line = 0;
      ++i;
      continue;
    }
    plain = ((c >= 0x20 && c < 0x7F) || c == '\t') && ++line <= kMaxLine;
  }
  if (plain) return {"7bit", std::move(lines)};

  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(lines.size() * 3 / 2);
  size_t column = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(lines[i]);
    if (c == '\r' && lines[i + 1] == '\n') {
      out += "\r\n";
      column = 0;
      ++i;
      continue;
    }
    bool line_end = lines[i + 1] == '\r';  // the text ends in CR LF, so i + 1 is in range
    // Blanks stay literal except at a line end, where transports may drop them.
    bool literal = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !line_end);
    size_t width = literal ? 1 : 3;
    // A soft break "=" needs the last column unless this ends the line.
    if (column + width > (line_end ? kMaxQpLine : kMaxQpLine - 1)) {
      out += "=\r\n";
      column = 0;
    }
    if (literal) {
      out += static_cast<char>(c);
    } else {
      out += '=';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
    column += width;
  }
  return {"quoted-printable", std::move(out)};
}

std::string ComposeMessage(const MessageFields& fields, std::chrono::sys_seconds when) {
  EncodedBody body = EncodeBody(fields.body);
  std::string out;
  out.reserve(body.text.size() + 512);
  auto add = [&out](const std::string& header) { out += header + "\r\n"; };
  add(DateHeader(when));
  add(MessageIdHeader(fields.from.empty() ? std::string_view() : fields.from.front().address));
  if (!fields.from.empty()) add(AddressHeader("From", fields.from));
  if (!fields.to.empty()) add(AddressHeader("To", fields.to));
  if (!fields.cc.empty()) add(AddressHeader("Cc", fields.cc));
  if (fields.subject) add(TextHeader("Subject", *fields.subject));
  add("MIME-Version: 1.0");
  add("Content-Type: text/plain; charset=utf-8");
  add(std::string("Content-Transfer-Encoding: ") + body.encoding);
  return out + "\r\n" + body.text;
}

}  // namespace talvenix::mail
