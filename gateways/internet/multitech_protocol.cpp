// SPDX-License-Identifier: Apache-2.0
#include "gateways/internet/multitech_protocol.hpp"

#include "contract/log_interface.hpp"
#include "support/text_codec.hpp"

namespace talvenix::multitech {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Letters, digits and the device's unreserved marks. '&' and '=' would end a
// value early, so they are always encoded, though the device reads them raw.
bool CopiedUnchanged(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    case '!':
    case '$':
    case '\'':
    case '(':
    case ')':
    case '*':
    case ',':
    case ';':
    case ':':
    case '/':
    case '@':
      return true;
    default:
      return false;
  }
}

// "user=U&passwd=P": the part every request starts with.
void AppendCredentials(std::string& path, std::u16string_view user, std::u16string_view password) {
  path += "user=";
  path += DeviceUrlEncode(user);
  path += "&passwd=";
  path += DeviceUrlEncode(password);
}

}  // namespace

std::string DeviceUrlEncode(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : Utf16ToUtf8(text)) {
    if (CopiedUnchanged(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0xF];
    }
  }
  return out;
}

std::string TextToHex(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 5);
  for (char16_t unit : text) {
    char digits[4];
    int n = 0;
    uint32_t v = unit;
    do {
      digits[n++] = kHexDigits[v & 0xF];
      v >>= 4;
    } while (v);
    while (n) out += digits[--n];
    out += ';';
  }
  return out;
}

std::string BuildSendRequest(std::u16string_view user, std::u16string_view password, std::string_view number,
                             std::u16string_view text, ILogInterface* logger) {
  std::string hex = TextToHex(text);
  if (logger) logger->InfoW(u"Encoded Message: %S", hex.c_str());
  std::string path = "/sendmsg?";
  AppendCredentials(path, user, password);
  path += "&cat=1&enc=2&to=";
  path += DeviceUrlEncode(u"\"" + Utf8ToUtf16(number) + u"\"");
  path += "&text=";
  path += hex;
  return path;
}

std::string BuildQueryRequest(std::u16string_view user, std::u16string_view password, uint32_t tracking_id) {
  std::string path = "/querymsg?";
  AppendCredentials(path, user, password);
  path += "&apimsgid=";
  path += std::to_string(tracking_id);
  return path;
}

std::string BuildRecvRequest(std::u16string_view user, std::u16string_view password) {
  std::string path = "/recvmsg?";
  AppendCredentials(path, user, password);
  return path;
}

}  // namespace talvenix::multitech
