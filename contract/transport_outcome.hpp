// SPDX-License-Identifier: Apache-2.0
#pragma once
// How one request over a gateway's transport ended, in the same four words
// for every transport (HTTP, the iSMS device, SOAP). Each gateway turns it
// into its status codes in one place; what matters most is telling "the peer
// cannot have it" from "the peer may have it", since only the first may be
// sent again.

#include <cstdint>

namespace talvenix {

enum class TransportOutcome : uint32_t {
  kAnswered,    // the peer's whole answer came back; what it says is the gateway's to judge
  kNotSent,     // the request never went out whole: the peer cannot have it
  kMaybeTaken,  // it went out, but its answer was lost, cut off or late: the peer may have acted on it
  kCut          // stopping the gateway (Unint) ended it
};

}  // namespace talvenix
