// SPDX-License-Identifier: Apache-2.0
#include "daemon/kannel_dlr.hpp"

#include <cctype>
#include <ctime>

namespace talvenix::daemon {
namespace {

std::string Encode(const std::string& value) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

}  // namespace

std::string KannelDlrUrl(const std::string& url, int kind, const std::string& recipient, const std::string& answer) {
  std::string out;
  for (size_t i = 0; i < url.size(); ++i) {
    if (url[i] != '%' || i + 1 == url.size()) {
      out += url[i];
      continue;
    }
    char c = url[++i];
    if (c == 'd')
      out += std::to_string(kind);
    else if (c == 'P')
      out += Encode(recipient);
    else if (c == 'A')
      out += Encode(answer);
    else if (c == 'T')
      out += std::to_string(std::time(nullptr));
    else if (c == '%')
      out += '%';
    else
      out += std::string("%") + c;  // an escape we do not fill, or an encoded byte: kept
  }
  return out;
}

}  // namespace talvenix::daemon
