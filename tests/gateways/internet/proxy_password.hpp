// SPDX-License-Identifier: Apache-2.0
#pragma once
// The host's scrambling of a stored proxy password, for tests that write one.

#include <string>

namespace talvenix::testing {

// Scrambles a password as the host stores "Proxy_Password": each byte as a
// band selector and a printable value character (the inverse of the module's
// descrambling), so tests can write the stored form of a known password.
inline std::string ScrambleProxyPassword(const std::string& plain) {
  static const std::string key = "{7C1A3F9E-2D84-4b6e-A51C-93E0F4B7D26A}";
  std::string out;
  for (size_t i = 0; i < plain.size(); ++i) {
    int sum = static_cast<unsigned char>(plain[i]) + 33 + static_cast<unsigned char>(key[i % key.size()]);
    int band = sum > 126 ? (sum - 90 > 126 ? 2 : 1) : 0;
    out += static_cast<char>('1' + band);
    out += static_cast<char>(sum - 90 * band);
  }
  return out;
}

}  // namespace talvenix::testing
