// SPDX-License-Identifier: Apache-2.0
#include <sys/socket.h>

#include <cstdlib>

#include "soap_peer.hpp"
#include "stdsoap2.h"

namespace talvenix::testing {

void PreparePeerSockets(soap* s) { s->socket_flags = MSG_NOSIGNAL; }

bool PeerTlsContext(soap* s, const std::string& cert_file, const std::string& key_file) {
  // The server certificate and key in one file, as gSOAP reads them.
  const std::string both = cert_file + ".both";
  return std::system(("cat " + key_file + " " + cert_file + " > " + both).c_str()) == 0 &&
         soap_ssl_server_context(s, SOAP_SSL_NO_AUTHENTICATION, both.c_str(), nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr) == SOAP_OK;
}

bool PeerTlsAccept(soap* s) { return soap_ssl_accept(s) == SOAP_OK; }

}  // namespace talvenix::testing
