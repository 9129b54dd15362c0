// SPDX-License-Identifier: Apache-2.0
#include "gateways/catalog/catalog.hpp"

#include "contract/service.hpp"

namespace talvenix {

constexpr ServiceDescriptor kNullService = {
    TALVEX_SERVICE_NULL, "nuldrv", "NULL GSM Service", kCapReceives, kTraitConcurrentSends, 0, {},
};

}  // namespace talvenix
