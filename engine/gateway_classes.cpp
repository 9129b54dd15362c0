// SPDX-License-Identifier: Apache-2.0
#include "engine/gateway_classes.hpp"

#include "gateways/email/gen_smtp_service.hpp"
#include "gateways/internet/clickatell_service.hpp"
#include "gateways/internet/multitech_gateway.hpp"
#include "gateways/messagemedia/message_media_service.hpp"
#include "gateways/modem/gsm_modem_gateway.hpp"
#include "gateways/null/null_service.hpp"
#include "talvenix/talvenix.h"

namespace talvenix {
namespace {

// Every catalog entry with a display name has its class here (a test checks both ways).
constexpr GatewayClass kClasses[] = {
    {TALVEX_SERVICE_CLICKATELL, &ConstructGateway<ClickATellService>},
    {TALVEX_SERVICE_GSM, &ConstructGateway<Vantrel_GSMCOMDrvInterface>},
    {TALVEX_SERVICE_EMAIL, &ConstructGateway<GenSMTPService>},
    {TALVEX_SERVICE_NULL, &ConstructGateway<NullService>},
    {TALVEX_SERVICE_MESSAGEMEDIA, &ConstructGateway<MessageMediaService>},
    {TALVEX_SERVICE_MULTITECH, &ConstructGateway<MultitechISMSService>},
};

}  // namespace

std::span<const GatewayClass> GatewayClasses() { return kClasses; }

}  // namespace talvenix
