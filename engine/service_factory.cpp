// SPDX-License-Identifier: Apache-2.0
// The only file that names the gateway classes, and so the only one that
// sees the gateways' headers.
#include "engine/service_factory.hpp"

#include "gateways/email/gen_smtp_service.hpp"
#include "gateways/internet/clickatell_service.hpp"
#include "gateways/internet/multitech_gateway.hpp"
#include "gateways/messagemedia/message_media_service.hpp"
#include "gateways/modem/gsm_modem_gateway.hpp"
#include "gateways/null/null_service.hpp"
#include "talvenix/talvenix.h"

namespace talvenix {
namespace {

struct GatewayClass {
  uint32_t service_flag;
  GenericGSMService* (*construct)(ILogInterface* logger);
};

template <typename Gateway>
GenericGSMService* Construct(ILogInterface* logger) {
  return new Gateway(logger);
}

// Every catalog entry with a display name has its class here (a test checks both ways).
constexpr GatewayClass kClasses[] = {
    {TALVEX_SERVICE_CLICKATELL, &Construct<ClickATellService>},
    {TALVEX_SERVICE_GSM, &Construct<Vantrel_GSMCOMDrvInterface>},
    {TALVEX_SERVICE_EMAIL, &Construct<GenSMTPService>},
    {TALVEX_SERVICE_NULL, &Construct<NullService>},
    {TALVEX_SERVICE_MESSAGEMEDIA, &Construct<MessageMediaService>},
    {TALVEX_SERVICE_MULTITECH, &Construct<MultitechISMSService>},
};

}  // namespace

GenericGSMService* ConstructService(uint32_t service_flag, ILogInterface* logger) {
  for (const GatewayClass& c : kClasses)
    if (c.service_flag == service_flag) return c.construct(logger);
  return nullptr;
}

}  // namespace talvenix
