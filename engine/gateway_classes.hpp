// SPDX-License-Identifier: Apache-2.0
#pragma once
// The gateway classes the module can construct, one row per service flag
// (gateway_classes.cpp, the only place that names them); a flag without a row
// fails the start like an unknown one.

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
