// SPDX-License-Identifier: Apache-2.0
// The GSM default alphabet with its extension table, septet packing and hex.

#include "drivers/at/pdu.hpp"
#include "support/gsm_alphabet.hpp"

namespace talvenix::at {

using gsm7::kBasic;
using gsm7::kEscape;
using gsm7::kExtension;

bool ToGsm7(std::u16string_view text, std::vector<uint8_t>& septets, bool replace) {
  const auto& map = gsm7::Reverse();
  septets.clear();
  septets.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint16_t code = map[text[i]];
    if (code == 0xFFFF) {
      if (!replace) return false;
      septets.push_back(0x3F);  // '?'
      // One '?' per surrogate pair; a lone half is one '?' of its own.
      if (i + 1 < text.size() && text[i] >= 0xD800 && text[i] <= 0xDBFF && text[i + 1] >= 0xDC00 &&
          text[i + 1] <= 0xDFFF)
        ++i;
      continue;
    }
    if (code & 0x100) septets.push_back(kEscape);
    septets.push_back(static_cast<uint8_t>(code & 0x7F));
  }
  return true;
}

std::u16string FromGsm7(const std::vector<uint8_t>& septets) {
  std::u16string text;
  text.reserve(septets.size());
  for (size_t i = 0; i < septets.size(); ++i) {
    uint8_t s = septets[i] & 0x7F;
    if (s != kEscape) {
      text.push_back(kBasic[s]);
      continue;
    }
    if (i + 1 == septets.size()) {
      text.push_back(u' ');  // a lone escape at the end shows as a space
      break;
    }
    uint8_t next = septets[++i] & 0x7F;
    char16_t found = 0;
    for (const gsm7::Extension& e : kExtension)
      if (e.septet == next) found = e.character;
    // An unknown extension shows the basic character, as handsets do.
    text.push_back(found ? found : kBasic[next == kEscape ? 0x20 : next]);
  }
  return text;
}

std::vector<uint8_t> PackSeptets(const std::vector<uint8_t>& septets, int fill_bits) {
  std::vector<uint8_t> out((septets.size() * 7 + fill_bits + 7) / 8, 0);
  size_t bit = static_cast<size_t>(fill_bits);
  for (uint8_t s : septets) {
    uint16_t v = static_cast<uint16_t>((s & 0x7F) << (bit % 8));
    out[bit / 8] |= static_cast<uint8_t>(v & 0xFF);
    if ((bit % 8) > 1) out[bit / 8 + 1] |= static_cast<uint8_t>(v >> 8);
    bit += 7;
  }
  return out;
}

std::vector<uint8_t> UnpackSeptets(const uint8_t* data, size_t size, size_t count, int fill_bits) {
  std::vector<uint8_t> out;
  out.reserve(count);
  size_t bit = static_cast<size_t>(fill_bits);
  for (size_t i = 0; i < count; ++i, bit += 7) {
    size_t byte = bit / 8;
    if (byte >= size) break;
    uint16_t v = data[byte];
    if (byte + 1 < size) v |= static_cast<uint16_t>(data[byte + 1] << 8);
    out.push_back(static_cast<uint8_t>((v >> (bit % 8)) & 0x7F));
  }
  return out;
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0xF]);
  }
  return hex;
}

bool FromHex(std::string_view hex, std::vector<uint8_t>& bytes) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  bytes.clear();
  if (hex.size() % 2) return false;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}

}  // namespace talvenix::at
