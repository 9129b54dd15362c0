// SPDX-License-Identifier: Apache-2.0
#include "support/value_cipher.hpp"

namespace talvenix {
namespace {

uint8_t NextKey(uint8_t key) { return key >= kCipherKeyBound ? kCipherKeyRestart : static_cast<uint8_t>(key + 1); }

int NibbleOf(char letter) {
  for (int i = 0; i < 16; ++i)
    if (kCipherLetters[i] == letter) return i;
  return -1;
}

}  // namespace

std::string EncipherValue(std::string_view plain) {
  std::string cipher;
  cipher.reserve(plain.size() * 2);
  uint8_t key = kCipherKeyStart;
  for (char c : plain) {
    uint8_t b = static_cast<uint8_t>(static_cast<uint8_t>(c) ^ key);
    cipher += kCipherLetters[b >> 4];
    cipher += kCipherLetters[b & 0x0F];
    key = NextKey(key);
  }
  return cipher;
}

bool DecipherValue(std::string_view cipher, std::string& plain) {
  plain.clear();
  if (cipher.size() % 2) return false;
  plain.reserve(cipher.size() / 2);
  uint8_t key = kCipherKeyStart;
  for (size_t i = 0; i < cipher.size(); i += 2) {
    int high = NibbleOf(cipher[i]), low = NibbleOf(cipher[i + 1]);
    if (high < 0 || low < 0) {
      plain.clear();
      return false;
    }
    plain += static_cast<char>(static_cast<uint8_t>((high << 4) | low) ^ key);
    key = NextKey(key);
  }
  return true;
}

}  // namespace talvenix
