// SPDX-License-Identifier: Apache-2.0
#pragma once
// Adds a test CA (a PEM file) to the trusted roots of the Wine prefix the
// test runs in: Windows' TLS clients trust only the system's store.

// clang-format off
#include <windows.h>
// clang-format on
#include <wincrypt.h>

#include <fstream>
#include <sstream>
#include <string>

namespace talvenix::testing {

inline bool TrustCertificate(const std::string& pem_path) {
  std::ifstream file(pem_path, std::ios::binary);
  std::stringstream pem;
  pem << file.rdbuf();
  std::string text = pem.str();
  BYTE der[8192];
  DWORD size = sizeof der;
  HCERTSTORE root = CertOpenSystemStoreW(0, L"ROOT");
  bool trusted =
      !text.empty() && root &&
      CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64HEADER, der, &size, nullptr, nullptr) &&
      CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der, size, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  if (root) CertCloseStore(root, 0);
  return trusted;
}

}  // namespace talvenix::testing
