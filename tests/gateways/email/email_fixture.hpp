// SPDX-License-Identifier: Apache-2.0
#pragma once
// The e-mail gateway's tests on POSIX: each test starts its own aiosmtpd
// peer, and TLS trusts the test CA through TALVENIX_CA_FILE.

#include <stdlib.h>

#include "gateways/email/email_gateway_fixture.hpp"
#include "gateways/email/smtp_peer.hpp"

namespace talvenix::testing {

class EmailGatewayTest : public EmailGatewayBase {
 protected:
  EmailGatewayTest() { setenv("TALVENIX_CA_FILE", SharedCertificates().ca_file().c_str(), 1); }
  ~EmailGatewayTest() override { unsetenv("TALVENIX_CA_FILE"); }

  void UsePeer(const SmtpPeer& peer) { UsePort(peer.port_text()); }
};

}  // namespace talvenix::testing
