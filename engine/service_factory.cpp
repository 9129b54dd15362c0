#include "engine/service_factory.hpp"

#include "engine/null_service.hpp"
#include "gateways/modem/gsm_modem_gateway.hpp"

namespace talvenix {
namespace {

struct FactoryEntry {
  uint32_t flag;
  GenericGSMService* (*make)(ILogInterface* logger);
};

template <typename Service>
GenericGSMService* Make(ILogInterface* logger) {
  return new Service(logger);
}

constexpr FactoryEntry kFactory[] = {
    {TALVEX_SERVICE_NULL, &Make<NullService>},
    {TALVEX_SERVICE_GSM, &Make<Vantrel_GSMCOMDrvInterface>},
};

}  // namespace

GenericGSMService* ConstructService(uint32_t service_flag, ILogInterface* logger) {
  for (const FactoryEntry& entry : kFactory)
    if (entry.flag == service_flag) return entry.make(logger);
  return nullptr;
}

}  // namespace talvenix
