#include "engine/service_factory.hpp"

#include "gateways/null/null_service.hpp"
#include "gateways/email/gen_smtp_service.hpp"
#include "gateways/internet/clickatell_service.hpp"
#include "gateways/internet/multitech_gateway.hpp"
#include "gateways/messagemedia/message_media_service.hpp"
#include "gateways/modem/gsm_modem_gateway.hpp"

namespace talvenix {
namespace {

// Flag 3 has a transport id but no gateway (no display name): documents naming
// it load, and the factory then refuses them.
constexpr ServiceDescriptor kReservedService = {TALVEX_SERVICE_RESERVED, "gennsm5", nullptr, 0, 0, nullptr, 0, {}};

// The only list of gateways. Its order is the transport-id search order: the
// first id contained anywhere in a service's transport wins. Adding a gateway
// is one folder with its descriptor and one line here.
constexpr const ServiceDescriptor* kServices[] = {
    &kClickatellService,  // searched first: "gensmtp+clickatellapi" is Clickatell
    &kModemService,      &kEmailService, &kReservedService, &kNullService, &kMessageMediaService, &kMultitechService,
};

}  // namespace

ServiceList AvailableServices() { return kServices; }

GenericGSMService* ConstructService(uint32_t service_flag, ILogInterface* logger) {
  const ServiceDescriptor* d = FindServiceByFlag(kServices, service_flag);
  return d && d->construct ? d->construct(logger) : nullptr;
}

const char* TransportIdOf(uint32_t service_flag) {
  const ServiceDescriptor* d = FindServiceByFlag(kServices, service_flag);
  return d && d->display_name ? d->transport_id : nullptr;
}

uint32_t ServiceFlagOfTransportId(const char* transport_id) {
  const ServiceDescriptor* d = FindServiceByTransportId(kServices, transport_id ? transport_id : "");
  return d ? d->service_flag : static_cast<uint32_t>(TALVEX_SERVICE_INVALID);
}

}  // namespace talvenix
