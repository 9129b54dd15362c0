// SPDX-License-Identifier: Apache-2.0
#include "gateways/internet/multitech_response.hpp"

#include <pugixml.hpp>

#include <algorithm>
#include <limits>

#include "contract/log_interface.hpp"
#include "support/text_codec.hpp"

namespace talvenix::multitech {
namespace {

// A NUL in a received text would end it at the host (a C string): it shows
// as the symbol for NUL instead, as the modem lines show it.
constexpr char16_t kNulSymbol = u'\u2400';

struct CodeText {
  int32_t code;
  const char* text;
  int32_t status;
};

constexpr CodeText kDeviceErrors[] = {
    {601, "authentication failed", 58},
    {602, "parsing error", 2},
    {603, "invalid category", 1},
    {604, "SMS size > 160", 1},
    {605, "recipient overflow", 1},
    {606, "invalid recipient", 1},
    {607, "no recipient", 1},
    {608, "multiModem ISMS is busy, request rejected", 1},
    {609, "timeout wait for a TCP API request", 1},
    {610, "unknown trigger action", 1},
    {611, "error in broadcast trigger", 1},
    {612, "system error - memory allocation failure", 1},
    {613, "invalid modem index, (index is not between;  SF400 0-4 : SF800 0-8) ", 1},
    {614, "invalid device model number", 1},
    {615, "invalid encoding type", 1},
    {616, "invalid time/date input", 1},
    {617, "invalid count input", 1},
    {618, "service not enabled (non-polling receive API is enabled so polling receive API is not available", 1},
    {619, "invalid addresses", 1},
    {620, "invalid priority value", 1},
    {621, "invalid SMS text (wrong encoding)", 1},
};
constexpr CodeText kUnknownError = {0, "invalid or unknown error code", 1};

constexpr CodeText kMessageStates[] = {
    {0, "SMS successfully sent", 0},
    {1, "SMS not sent to all recipients", 1},
    {2, "in-progress", 112},
    {3, "request received [in-progress]", 112},
    {4, "device error when sending SMS", 1},
    {5, "invalid ID", 1},
    {6, "SMS distributed [in-progress]", 112},
    {7, "distribution failed", 1},
    {8, "SMS distributed across multiple slaves [in-progress]", 112},
    {9, "SMS was aborted by the user.", 12},
};
constexpr CodeText kUnknownState = {0, "invalid or unknown status code", 1};

template <size_t N>
const CodeText& Lookup(const CodeText (&table)[N], int64_t code, const CodeText& unknown) {
  for (const CodeText& row : table)
    if (row.code == code) return row;
  return unknown;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// A decimal number in the manner of atoi: leading blanks, a sign, digits.
// Nothing usable gives `none`; values beyond 32 bits saturate.
int64_t ReadDecimal(std::string_view text, int64_t none = 0) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || !IsDigit(text[i])) return none;
  int64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i)
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), int64_t{1} << 33);
  value = negative ? -value : value;
  return std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<uint32_t>::max());
}

int HexValue(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  return -1;
}

// The text of an element and of everything inside it, as the device's XML
// reader gives it.
std::string TextOf(pugi::xml_node node) {
  std::string out;
  for (pugi::xml_node n = node.first_child(); n;) {
    if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) out += n.value();
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && n != node && !n.next_sibling()) n = n.parent();
    if (!n || n == node) break;
    n = n.next_sibling();
  }
  return out;
}

void ReadNotification(pugi::xml_node node, std::vector<ReceivedEntry>& entries) {
  ReceivedEntry entry;
  bool has_message = false;
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element) continue;
    std::string_view name = child.name();
    if (name == "Message_Index") {
      entry.index = static_cast<uint32_t>(ReadDecimal(TextOf(child)));
    } else if (name == "SenderNumber") {
      // The host takes it as the originator: a line break in it is not a number.
      entry.sender = TextOf(child);
      std::erase_if(entry.sender, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
    } else if (name == "Date") {
      entry.date = TextOf(child);
    } else if (name == "Time") {
      entry.time = TextOf(child);
    } else if (name == "EncodingFlag") {
      std::string flag = TextOf(child);
      if (flag.find("Unicode") != std::string::npos)
        entry.encoding = TextEncoding::kUnicodeHex;
      else if (flag.find("ExtendedASCII") != std::string::npos)
        entry.encoding = TextEncoding::kExtendedAscii;
      else if (flag.find("ASCII") != std::string::npos)
        entry.encoding = TextEncoding::kAscii;
    } else if (name == "Message") {
      entry.text = Utf8ToUtf16(PercentDecode(TextOf(child)));
      std::replace(entry.text.begin(), entry.text.end(), u'\0', kNulSymbol);
      has_message = true;
    }
  }
  if (has_message) entries.push_back(std::move(entry));
}

}  // namespace

int32_t ParseSendResponse(std::string_view response, uint32_t* tracking_id) {
  size_t at = response.find("ID:");
  if (at == std::string_view::npos || response.size() - at < 4) return 1;
  int64_t id = ReadDecimal(response.substr(at + 3));
  // A negative id is not one the device hands out; keep the atoi reading of its digits' absence.
  if (tracking_id) *tracking_id = id < 0 ? 0 : static_cast<uint32_t>(id);
  return 112;
}

int32_t parse_error(const char* text, ILogInterface* logger) {
  if (!text) return 1;
  return parse_error(std::string_view(text), logger);
}

int32_t parse_error(std::string_view text, ILogInterface* logger) {
  if (text.size() < 6) {
    if (logger)
      logger->ErrorW(u"MultitechISMSService:parse_error: error detected but response is invalid. (parsing problem?)");
    return 1;
  }
  int64_t code = ReadDecimal(text.substr(5));
  const CodeText& row = Lookup(kDeviceErrors, code, kUnknownError);
  if (logger)
    logger->ErrorW(u"MultitechISMSService::parse_error: error![erc: %d] %S", static_cast<int>(code), row.text);
  return row.status;
}

int32_t ParseQueryResponse(std::string_view response, ILogInterface* logger) {
  size_t err = response.find("Err: ");
  if (err != std::string_view::npos) return parse_error(response.substr(err), logger);

  size_t id = response.find("ID: ");
  if (id == std::string_view::npos || response.size() - id <= 4) return 112;
  size_t status_at = response.find("Status: ", id + 4);
  if (status_at == std::string_view::npos) return 112;

  int32_t status = 112;
  const char* text = "";
  std::string_view after = response.substr(status_at);
  if (after.find("Done") != std::string_view::npos) {
    status = 0;
    text = "SMS successfully sent";
  } else if (after.size() > 8) {
    // A state that is not a number is not in the table: it must not read as 0 (sent).
    const CodeText& row = Lookup(kMessageStates, ReadDecimal(after.substr(8), -1), kUnknownState);
    status = row.status;
    text = row.text;
  }
  if (logger) {
    if (status != 0 && status != 112)
      logger->ErrorW(u"MultitechISMSService: SMS failed [%S]", text);
    else
      logger->InfoW(u"MultitechISMSService: [%S]", text);
  }
  return status;
}

int32_t parse_queryrecvmsg(std::string_view response, std::vector<ReceivedEntry>& entries, ILogInterface* logger) {
  pugi::xml_document document;
  if (!document.load_buffer(response.data(), response.size())) {
    size_t err = response.find("Err: ");
    return err == std::string_view::npos ? 1 : parse_error(response.substr(err), logger);
  }
  pugi::xpath_node count_node = document.select_node("//Response/Msg_Count");
  if (!count_node) {
    if (logger) logger->ErrorW(u"MultitechISMSService::parse_queryrecvmsg: invalid XML response [count not found]");
    return 1;
  }
  int64_t count = ReadDecimal(TextOf(count_node.node()));
  if (count < 1) return 0;

  pugi::xpath_node_set nodes = document.select_nodes("//Response/MessageNotification");
  if (static_cast<int64_t>(nodes.size()) != count && logger)
    logger->ErrorW(u"MultitechISMSService::parse_queryrecvmsg: NumberNode: %d ???? msg_count: %d.",
                   static_cast<int>(nodes.size()), static_cast<int>(count));
  for (const pugi::xpath_node& node : nodes) ReadNotification(node.node(), entries);
  return 0;
}

std::u16string DecodeUnicodeHex(std::u16string_view hex) {
  std::u16string units;
  units.reserve(hex.size() / 4);
  for (size_t i = 0; i + 4 <= hex.size(); i += 4) {
    int32_t value = 0;
    for (size_t k = 0; k < 4 && value >= 0; ++k) {
      int digit = HexValue(hex[i + k]);
      value = digit < 0 ? -1 : value * 16 + digit;
    }
    units += value < 0 ? u'\uFFFD' : value == 0 ? kNulSymbol : static_cast<char16_t>(value);
  }
  // A pair is kept whole; a surrogate alone is not text.
  for (size_t i = 0; i < units.size(); ++i) {
    if (IsHighSurrogate(units[i]) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(units[i]) || IsLowSurrogate(units[i])) {
      units[i] = u'\uFFFD';
    }
  }
  return units;
}

}  // namespace talvenix::multitech
