// SPDX-License-Identifier: Apache-2.0
#pragma once
// Which certificate authorities the mailer's TLS trusts when no CA file is
// configured: the system's own. Each platform's file says how libcurl is
// pointed at them.

typedef void CURL;

namespace talvenix {

// Sets the trust of `connection` to the system's roots; false (nothing
// trusted, so no TLS connection succeeds) when that cannot be done.
bool TrustSystemRoots(CURL* connection);

}  // namespace talvenix
