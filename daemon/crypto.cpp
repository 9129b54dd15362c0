// SPDX-License-Identifier: Apache-2.0
#include "daemon/crypto.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace talvenix::daemon {
namespace {

std::string Hex(const unsigned char* bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

}  // namespace

std::string Sha256Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr))
    throw std::runtime_error("SHA-256 failed");
  return Hex(digest, size);
}

std::string HmacSha256Hex(std::string_view key, std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
            data.size(), digest, &size))
    throw std::runtime_error("HMAC-SHA256 failed");
  return Hex(digest, size);
}

std::string TimeOrderedId(int64_t ms) {
  unsigned char bytes[16];
  for (int i = 0; i < 6; ++i) bytes[i] = static_cast<unsigned char>(static_cast<uint64_t>(ms) >> (40 - 8 * i));
  if (RAND_bytes(bytes + 6, 10) != 1) throw std::runtime_error("no random bytes");
  return Hex(bytes, sizeof bytes);
}

std::optional<std::string> Base64Decode(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0 || text.size() > 4096) return std::nullopt;
  std::string out(text.size() / 4 * 3, '\0');
  int size = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                             reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (size < 0) return std::nullopt;
  // EVP_DecodeBlock counts the padding's bytes too.
  size -= static_cast<int>(text.end()[-1] == '=') + static_cast<int>(text.end()[-2] == '=');
  out.resize(static_cast<size_t>(size));
  return out;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace talvenix::daemon
