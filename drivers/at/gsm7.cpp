// The GSM default alphabet with its extension table, septet packing and hex.

#include <array>

#include "drivers/at/pdu.hpp"

namespace talvenix::at {
namespace {

constexpr uint8_t kEscape = 0x1B;

// Septet -> character of the default alphabet (0x1B is the escape).
constexpr std::array<char16_t, 128> kBasic = {
    u'@',      u'\u00A3', u'$',      u'\u00A5', u'\u00E8', u'\u00E9', u'\u00F9', u'\u00EC', u'\u00F2', u'\u00C7',
    u'\n',     u'\u00D8', u'\u00F8', u'\r',     u'\u00C5', u'\u00E5', u'\u0394', u'_',      u'\u03A6', u'\u0393',
    u'\u039B', u'\u03A9', u'\u03A0', u'\u03A8', u'\u03A3', u'\u0398', u'\u039E', u'\u00A0', u'\u00C6', u'\u00E6',
    u'\u00DF', u'\u00C9', u' ',      u'!',      u'"',      u'#',      u'\u00A4', u'%',      u'&',      u'\'',
    u'(',      u')',      u'*',      u'+',      u',',      u'-',      u'.',      u'/',      u'0',      u'1',
    u'2',      u'3',      u'4',      u'5',      u'6',      u'7',      u'8',      u'9',      u':',      u';',
    u'<',      u'=',      u'>',      u'?',      u'\u00A1', u'A',      u'B',      u'C',      u'D',      u'E',
    u'F',      u'G',      u'H',      u'I',      u'J',      u'K',      u'L',      u'M',      u'N',      u'O',
    u'P',      u'Q',      u'R',      u'S',      u'T',      u'U',      u'V',      u'W',      u'X',      u'Y',
    u'Z',      u'\u00C4', u'\u00D6', u'\u00D1', u'\u00DC', u'\u00A7', u'\u00BF', u'a',      u'b',      u'c',
    u'd',      u'e',      u'f',      u'g',      u'h',      u'i',      u'j',      u'k',      u'l',      u'm',
    u'n',      u'o',      u'p',      u'q',      u'r',      u's',      u't',      u'u',      u'v',      u'w',
    u'x',      u'y',      u'z',      u'\u00E4', u'\u00F6', u'\u00F1', u'\u00FC', u'\u00E0'};

struct Extension {
  uint8_t septet;
  char16_t character;
};
constexpr std::array<Extension, 10> kExtension = {{{0x0A, u'\f'},
                                                   {0x14, u'^'},
                                                   {0x28, u'{'},
                                                   {0x29, u'}'},
                                                   {0x2F, u'\\'},
                                                   {0x3C, u'['},
                                                   {0x3D, u'~'},
                                                   {0x3E, u']'},
                                                   {0x40, u'|'},
                                                   {0x65, u'\u20AC'}}};

// Character -> septet (or escape pair), built once. 0xFFFF: not representable.
struct ReverseTable {
  std::array<uint16_t, 0x10000> map;
  ReverseTable() {
    map.fill(0xFFFF);
    for (size_t i = 0; i < kBasic.size(); ++i)
      if (i != kEscape) map[kBasic[i]] = static_cast<uint16_t>(i);
    for (const Extension& e : kExtension) map[e.character] = static_cast<uint16_t>(0x100 | e.septet);
  }
};

const ReverseTable& Reverse() {
  static const ReverseTable table;
  return table;
}

}  // namespace

bool ToGsm7(std::u16string_view text, std::vector<uint8_t>& septets, bool replace) {
  const auto& map = Reverse().map;
  septets.clear();
  septets.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint16_t code = map[text[i]];
    if (code == 0xFFFF) {
      if (!replace) return false;
      septets.push_back(0x3F);                                                   // '?'
      if (i + 1 < text.size() && (text[i] >= 0xD800 && text[i] <= 0xDBFF)) ++i;  // one '?' per pair
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
    for (const Extension& e : kExtension)
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
