// SPDX-License-Identifier: Apache-2.0
#pragma once
// The GSM 7-bit default alphabet (3GPP 23.038) with its extension table: the
// one table of it, shared by the AT driver's codec and by the engine, which
// counts the room of a gateway that sends in this alphabet
// (kTraitCountsGsmAlphabet) the way that gateway's parts will hold the text.

#include <array>
#include <cstddef>
#include <cstdint>

namespace talvenix::gsm7 {

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
// Characters written as the escape and one more septet.
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

// Character -> its septet, 0x100 | septet for an extension character, 0xFFFF
// when the alphabet lacks it. Built once; any thread may read it.
inline const std::array<uint16_t, 0x10000>& Reverse() {
  static const std::array<uint16_t, 0x10000> table = [] {
    std::array<uint16_t, 0x10000> map;
    map.fill(0xFFFF);
    for (std::size_t i = 0; i < kBasic.size(); ++i)
      if (i != kEscape) map[kBasic[i]] = static_cast<uint16_t>(i);
    for (const Extension& e : kExtension) map[e.character] = static_cast<uint16_t>(0x100 | e.septet);
    return map;
  }();
  return table;
}

// Septets a character takes: 1, 2 for an extension character, 0 when the
// alphabet lacks it (the text then needs UCS-2).
inline int SeptetsOf(char16_t c) {
  uint16_t code = Reverse()[c];
  return code == 0xFFFF ? 0 : (code & 0x100) ? 2 : 1;
}

}  // namespace talvenix::gsm7
