// SPDX-License-Identifier: Apache-2.0
#pragma once
// The value cipher of properties flagged encrypt="yes". It keeps passwords
// from being read at a glance in the file; it is not encryption and gives no
// protection against anyone who can read this source.
//
// Each byte of the UTF-8 text is combined by exclusive-or with the next byte
// of the key sequence, and the result is written as two lowercase letters,
// the first for its high four bits and the second for its low four bits.
// The key sequence starts at kCipherKeyStart and advances by one per byte;
// after kCipherKeyBound it starts again at kCipherKeyRestart. Documents are
// readable by another implementation only if it uses the same constants.

#include <cstdint>
#include <string>
#include <string_view>

namespace talvenix {

constexpr uint8_t kCipherKeyStart = 0x4B;
constexpr uint8_t kCipherKeyRestart = 0x21;
constexpr uint8_t kCipherKeyBound = 0x7E;
// Letter for each value of four bits, 0x0 first.
constexpr char kCipherLetters[17] = "qwhzkvmdxbrtnjsp";

std::string EncipherValue(std::string_view plain);
// False, leaving `plain` empty, when `cipher` is not enciphered text: an odd
// number of letters or a letter outside kCipherLetters.
bool DecipherValue(std::string_view cipher, std::string& plain);

}  // namespace talvenix
