#pragma once
// The one list of gateways, and what the module derives from it.

#include <cstdint>

#include "contract/service.hpp"

namespace talvenix {

// Every service flag that has a transport id, in transport-id search order.
ServiceList AvailableServices();

// A new gateway for the service flag, or null for a flag without a gateway class.
// Throws std::bad_alloc when the allocation fails.
GenericGSMService* ConstructService(uint32_t service_flag, ILogInterface* logger);

// Service flag <-> transport id.
const char* TransportIdOf(uint32_t service_flag);             // null for 3, 5, 6 and others
uint32_t ServiceFlagOfTransportId(const char* transport_id);  // 6 when unknown

}  // namespace talvenix
