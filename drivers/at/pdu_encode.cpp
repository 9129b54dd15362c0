// SPDX-License-Identifier: Apache-2.0
// SMS-SUBMIT parts for a text.

#include "drivers/at/pdu.hpp"
#include "support/sms_segments.hpp"

namespace talvenix::at {
namespace {

bool EncodeNumber(const std::string& number, bool international, std::vector<uint8_t>& out) {
  std::string digits;
  uint8_t type = 0x81;
  size_t start = 0;
  if (!number.empty() && number[0] == '+') {
    start = 1;
    if (international) type = 0x91;
  }
  for (size_t i = start; i < number.size(); ++i) {
    char c = number[i];
    if (c == ' ' || c == '-' || c == '(' || c == ')') continue;  // written for people
    if (!((c >= '0' && c <= '9') || c == '*' || c == '#')) return false;
    digits.push_back(c);
  }
  if (digits.empty() || digits.size() > 20) return false;
  out.push_back(static_cast<uint8_t>(digits.size()));
  out.push_back(type);
  auto semi = [](char c) -> uint8_t { return c == '*' ? 0xA : c == '#' ? 0xB : static_cast<uint8_t>(c - '0'); };
  for (size_t i = 0; i < digits.size(); i += 2) {
    uint8_t lo = semi(digits[i]);
    uint8_t hi = i + 1 < digits.size() ? semi(digits[i + 1]) : 0xF;
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}

}  // namespace

SubmitBuild BuildSubmit(const std::string& recipient, std::u16string_view text, const SubmitOptions& options) {
  SubmitBuild build;
  std::vector<uint8_t> address;
  if (!EncodeNumber(recipient, options.international, address)) {
    build.error = "invalid recipient number";
    return build;
  }
  std::vector<uint8_t> septets;
  bool gsm = ToGsm7(text, septets, !options.allow_ucs2);
  build.encoding = gsm ? Encoding::kGsm7 : Encoding::kUcs2;

  const std::vector<sms::Segment> ranges = sms::MessageParts(text, gsm ? sms::Coding::kGsm7 : sms::Coding::kUcs2);
  if (ranges.size() > 255) {
    build.error = "text needs more than 255 parts";
    return build;
  }
  bool concatenated = ranges.size() > 1;
  for (size_t n = 0; n < ranges.size(); ++n) {
    const sms::Segment& range = ranges[n];
    std::vector<uint8_t> tpdu;
    tpdu.reserve(180);            // a whole PDU; also spares GCC 12 a false -Warray-bounds at -O3
    uint8_t first = 0x01 | 0x10;  // SMS-SUBMIT, relative validity
    if (options.report_request) first |= 0x20;
    if (concatenated) first |= 0x40;
    tpdu.push_back(first);
    tpdu.push_back(0x00);  // TP-MR: the modem assigns it
    tpdu.insert(tpdu.end(), address.begin(), address.end());
    tpdu.push_back(0x00);  // TP-PID
    tpdu.push_back(gsm ? 0x00 : 0x08);
    tpdu.push_back(options.validity);
    std::vector<uint8_t> header;
    if (concatenated)
      header = {0x05,
                0x00,
                0x03,
                static_cast<uint8_t>(options.concat_reference & 0xFF),
                static_cast<uint8_t>(ranges.size()),
                static_cast<uint8_t>(n + 1)};
    if (gsm) {
      std::vector<uint8_t> part;
      ToGsm7(text.substr(range.begin, range.end - range.begin), part, true);
      // The header is followed by fill bits up to the next septet boundary.
      size_t header_septets = (header.size() * 8 + 6) / 7;
      int fill = static_cast<int>(header_septets * 7 - header.size() * 8);
      std::vector<uint8_t> packed = PackSeptets(part, fill);
      tpdu.push_back(static_cast<uint8_t>(header_septets + part.size()));
      tpdu.insert(tpdu.end(), header.begin(), header.end());
      tpdu.insert(tpdu.end(), packed.begin(), packed.end());
    } else {
      tpdu.push_back(static_cast<uint8_t>(header.size() + (range.end - range.begin) * 2));
      tpdu.insert(tpdu.end(), header.begin(), header.end());
      for (size_t i = range.begin; i < range.end; ++i) {
        tpdu.push_back(static_cast<uint8_t>(text[i] >> 8));
        tpdu.push_back(static_cast<uint8_t>(text[i] & 0xFF));
      }
    }
    build.parts.push_back({"00" + ToHex(tpdu), tpdu.size()});
  }
  return build;
}

}  // namespace talvenix::at
