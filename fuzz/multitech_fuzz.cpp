// SPDX-License-Identifier: Apache-2.0
// Arbitrary bytes as an answer of the iSMS device, through the three answer
// parsers and the decoding of every received message, as the gateway runs
// them. Besides crashes and sanitizer reports, it stops when a parser breaks
// one of its promises: a send answer without "ID:" accepted, a status code
// outside the tables, a decoded text that is not well-formed UTF-16.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "contract/log_interface.hpp"
#include "gateways/internet/multitech_response.hpp"
#include "formatting_logger.hpp"
#include "support/text_codec.hpp"

using namespace talvenix;

namespace {

bool KnownStatus(int32_t code) {
  return code == 0 || code == 1 || code == 2 || code == 12 || code == 58 || code == 112;
}

bool WellFormed(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]))
      ++i;
    else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i]))
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FormattingLogger logger;
  std::string_view answer(reinterpret_cast<const char*>(data), size);

  uint32_t id = 0;
  int32_t sent = multitech::ParseSendResponse(answer, &id);
  if (sent != 112 && sent != 1) std::abort();
  if (sent == 112 && answer.find("ID:") == std::string_view::npos) std::abort();

  if (!KnownStatus(multitech::ParseQueryResponse(answer, &logger))) std::abort();
  if (!KnownStatus(multitech::parse_error(answer, &logger))) std::abort();

  std::vector<multitech::ReceivedEntry> entries;
  int32_t received = multitech::parse_queryrecvmsg(answer, entries, &logger);
  if (!KnownStatus(received)) std::abort();
  for (const multitech::ReceivedEntry& e : entries) {
    if (e.encoding == multitech::TextEncoding::kUnicodeHex && !WellFormed(multitech::DecodeUnicodeHex(e.text)))
      std::abort();
  }
  return 0;
}
