// SPDX-License-Identifier: Apache-2.0
#include "gateways/email/system_trust.hpp"

// curl.h brings winsock2.h, which must come before windows.h.
// clang-format off
#include <curl/curl.h>
#include <wincrypt.h>
// clang-format on

#include <string>

namespace talvenix {

// Windows' Schannel checks the server's chain by itself, Wine's does not check
// it at all; so libcurl checks it, on both, against the roots of the user's
// trusted store, handed over as PEM text.
bool TrustSystemRoots(CURL* connection) {
  HCERTSTORE root = CertOpenSystemStoreW(0, L"ROOT");
  if (!root) return false;
  std::string pem;
  for (PCCERT_CONTEXT cert = nullptr; (cert = CertEnumCertificatesInStore(root, cert)) != nullptr;) {
    DWORD size = 0;
    if (!CryptBinaryToStringA(cert->pbCertEncoded, cert->cbCertEncoded, CRYPT_STRING_BASE64HEADER, nullptr, &size))
      continue;
    std::string text(size, '\0');
    if (CryptBinaryToStringA(cert->pbCertEncoded, cert->cbCertEncoded, CRYPT_STRING_BASE64HEADER, text.data(), &size))
      pem.append(text.data(), size);
  }
  CertCloseStore(root, 0);
  curl_blob blob{pem.data(), pem.size(), CURL_BLOB_COPY};
  return !pem.empty() && curl_easy_setopt(connection, CURLOPT_CAINFO_BLOB, &blob) == CURLE_OK;
}

}  // namespace talvenix
