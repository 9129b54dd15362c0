// SPDX-License-Identifier: Apache-2.0
#pragma once
// Builds the gateway of a service flag from this build's list of gateway
// classes; a flag without a class fails the start like an unknown one. What
// the module knows about a gateway without building one is in gateways/catalog.

#include <cstdint>

#include "contract/service.hpp"

namespace talvenix {

// A new, not yet initialised gateway for the service flag, owned by the caller
// (delete it through the virtual destructor), or null for a flag without a
// gateway class. `logger` is shared and must outlive it. Host thread. Throws
// std::bad_alloc when the allocation fails.
GenericGSMService* ConstructService(uint32_t service_flag, ILogInterface* logger);

}  // namespace talvenix
