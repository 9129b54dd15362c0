// SPDX-License-Identifier: Apache-2.0
#include "engine/service_factory.hpp"

#include "engine/gateway_classes.hpp"

namespace talvenix {

GenericGSMService* ConstructService(uint32_t service_flag, ILogInterface* logger) {
  for (const GatewayClass& c : GatewayClasses())
    if (c.service_flag == service_flag) return c.construct(logger);
  return nullptr;
}

}  // namespace talvenix
