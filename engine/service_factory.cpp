#include "engine/service_factory.hpp"

#include "engine/null_service.hpp"
#include "gateways/messagemedia/message_media_service.hpp"
#include "gateways/modem/gsm_modem_gateway.hpp"

namespace talvenix {
namespace {

// Flag 3 has a transport id but no gateway (no display name): documents naming
// it load, and the factory then refuses them.
constexpr ServiceDescriptor kReservedService = {TALVEX_SERVICE_RESERVED, "gennsm5", nullptr, 0, 0, nullptr, 0, {}};

// Gateways whose folders have not landed yet: their transport ids are part of
// the document format already. Each is replaced by its folder's descriptor.
constexpr ServiceDescriptor kClickatellPending = {
    TALVEX_SERVICE_CLICKATELL, "clickatellapi", "ClickATell Gateway", 0, kTraitSettingsExports, nullptr, 0, {}};
constexpr ServiceDescriptor kEmailPending = {TALVEX_SERVICE_EMAIL,  "gensmtp", "Gen SMTP", 0,
                                             kTraitSettingsExports, nullptr,   0,          {}};
constexpr ServiceDescriptor kMultitechPending = {TALVEX_SERVICE_MULTITECH,
                                                 "multitechisms",
                                                 "Multi-Tech SMS Finder Service",
                                                 0x94,
                                                 kTraitSettingsExports,
                                                 nullptr,
                                                 0,
                                                 {}};

// The only list of gateways. Its order is the transport-id search order: the
// first id contained anywhere in a service's transport wins. Adding a gateway
// is one folder with its descriptor and one line here.
constexpr const ServiceDescriptor* kServices[] = {
    &kClickatellPending,  // searched first: "gensmtp+clickatellapi" is Clickatell
    &kModemService,      &kEmailPending, &kReservedService, &kNullService, &kMessageMediaService, &kMultitechPending,
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
