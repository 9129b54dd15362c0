#pragma once
// The one table that lists the gateways.

#include <cstdint>

#include "contract/service.hpp"

namespace talvenix {

// A new gateway for the service flag, or null for a flag outside the table.
// Throws std::bad_alloc when the allocation fails.
GenericGSMService* ConstructService(uint32_t service_flag, ILogInterface* logger);

}  // namespace talvenix
