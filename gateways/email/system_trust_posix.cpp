// SPDX-License-Identifier: Apache-2.0
#include "gateways/email/system_trust.hpp"

namespace talvenix {

// libcurl's own default is the system's CA bundle.
bool TrustSystemRoots(CURL*) { return true; }

}  // namespace talvenix
