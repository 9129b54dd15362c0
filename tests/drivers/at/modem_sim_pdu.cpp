// SPDX-License-Identifier: Apache-2.0
// The PDUs a network hands a modem, built independently of the driver's
// encoder. Pure functions: the simulator and the tests that drive it from
// another process share them.

#include <cctype>

#include "drivers/at/modem_sim.hpp"

namespace talvenix::testing {
namespace {

std::string Hex2(unsigned v) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[(v >> 4) & 0xF], kDigits[v & 0xF]};
}

std::string SemiOctets(const std::string& digits) {
  std::string out;
  for (size_t i = 0; i < digits.size(); i += 2) {
    out.push_back(i + 1 < digits.size() ? digits[i + 1] : 'F');
    out.push_back(digits[i]);
  }
  return out;
}

// Type and digits of an address field, written independently of the driver's encoder.
std::string AddressField(const std::string& number) {
  bool plus = !number.empty() && number[0] == '+';
  std::string digits = plus ? number.substr(1) : number;
  return Hex2(static_cast<unsigned>(digits.size())) + (plus ? "91" : "81") + SemiOctets(digits);
}

constexpr const char* kSmsc = "07917283010010F5";
constexpr const char* kTimestamp = "62103061521080";  // 2026-01-03 16:25:01 +02:00

}  // namespace

std::string ModemSim::DeliverPdu(const std::string& originator, const std::u16string& text, at::Concat concat,
                                 bool ucs2) {
  std::vector<uint8_t> header;
  if (concat.total > 0)
    header = {0x05, 0x00, 0x03, static_cast<uint8_t>(concat.reference), concat.total, concat.sequence};
  std::string ud;
  unsigned udl;
  if (ucs2) {
    std::vector<uint8_t> bytes = header;
    for (char16_t c : text) {
      bytes.push_back(static_cast<uint8_t>(c >> 8));
      bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    }
    udl = static_cast<unsigned>(bytes.size());
    ud = at::ToHex(bytes);
  } else {
    std::vector<uint8_t> septets;
    at::ToGsm7(text, septets, true);
    size_t header_septets = (header.size() * 8 + 6) / 7;
    std::vector<uint8_t> packed = at::PackSeptets(septets, static_cast<int>(header_septets * 7 - header.size() * 8));
    udl = static_cast<unsigned>(header_septets + septets.size());
    ud = at::ToHex(header) + at::ToHex(packed);
  }
  std::string first = concat.total > 0 ? "44" : "04";
  bool alpha = !originator.empty() && !std::isdigit(static_cast<unsigned char>(originator[0])) && originator[0] != '+';
  std::string address;
  if (alpha) {
    std::vector<uint8_t> septets;
    at::ToGsm7(std::u16string(originator.begin(), originator.end()), septets, true);
    std::vector<uint8_t> packed = at::PackSeptets(septets);
    address = Hex2(static_cast<unsigned>((septets.size() * 7 + 3) / 4)) + "D0" + at::ToHex(packed);
  } else {
    address = AddressField(originator);
  }
  return kSmsc + first + address + "00" + (ucs2 ? "08" : "00") + kTimestamp + Hex2(udl) + ud;
}

std::string ModemSim::StatusReportPdu(uint8_t reference, const std::string& recipient, uint8_t status) {
  return kSmsc + ("06" + Hex2(reference) + AddressField(recipient) + kTimestamp + kTimestamp + Hex2(status));
}

}  // namespace talvenix::testing
