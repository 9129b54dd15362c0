// SPDX-License-Identifier: Apache-2.0
#include "gateways/catalog/catalog.hpp"

#include "talvenix/talvenix.h"

namespace talvenix {
namespace {

// Flag 3 has a transport id but no gateway (no display name): documents naming
// it load, and the factory then refuses them.
constexpr ServiceDescriptor kReservedService = {TALVEX_SERVICE_RESERVED, "gennsm5", nullptr, 0, 0, 0, {}};

// The only list of gateways. Its order is the transport-id search order: the
// first id contained anywhere in a service's transport wins. Adding a gateway
// is its descriptor in this folder, one line here and its class in the
// engine's factory.
constexpr const ServiceDescriptor* kServices[] = {
    &kClickatellService,  // searched first: "gensmtp+clickatellapi" is Clickatell
    &kModemService,      &kEmailService, &kReservedService, &kNullService, &kMessageMediaService, &kMultitechService,
};

}  // namespace

ServiceList AvailableServices() { return kServices; }

const char* TransportIdOf(uint32_t service_flag) {
  const ServiceDescriptor* d = FindServiceByFlag(kServices, service_flag);
  return d && d->display_name ? d->transport_id : nullptr;
}

uint32_t ServiceFlagOfTransportId(const char* transport_id) {
  const ServiceDescriptor* d = FindServiceByTransportId(kServices, transport_id ? transport_id : "");
  return d ? d->service_flag : static_cast<uint32_t>(TALVEX_SERVICE_INVALID);
}

}  // namespace talvenix
