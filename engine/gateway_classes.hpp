#pragma once
// The gateway classes this build can construct, one row per service flag.
// Each build compiles exactly one list (gateway_classes_<platform>.cpp): a
// gateway whose libraries a platform lacks has no row there, and selecting it
// fails like any flag without a class.

#include <cstdint>
#include <span>

#include "contract/service.hpp"

namespace talvenix {

struct GatewayClass {
  uint32_t service_flag;
  // A new gateway owned by the caller; `logger` must outlive it.
  GenericGSMService* (*construct)(ILogInterface* logger);
};

template <typename Gateway>
GenericGSMService* ConstructGateway(ILogInterface* logger) {
  return new Gateway(logger);
}

std::span<const GatewayClass> GatewayClasses();

}  // namespace talvenix
