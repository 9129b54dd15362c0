// SPDX-License-Identifier: Apache-2.0
#include "soap_peer.hpp"

namespace talvenix::testing {

// Winsock raises no signal on a closed connection.
void PreparePeerSockets(soap*) {}

// The Windows build's gSOAP has no TLS: its harness puts TLS in front of the server.
bool PeerTlsContext(soap*, const std::string&, const std::string&) { return false; }
bool PeerTlsAccept(soap*) { return false; }

}  // namespace talvenix::testing
