#include "contract/service_descriptor.hpp"

namespace talvenix {

const ServiceDescriptor* FindServiceByFlag(ServiceList services, uint32_t service_flag) {
  for (const ServiceDescriptor* d : services)
    if (d->service_flag == service_flag) return d;
  return nullptr;
}

const ServiceDescriptor* FindServiceByTransportId(ServiceList services, std::string_view id) {
  for (const ServiceDescriptor* d : services)
    if (id.find(d->transport_id) != std::string_view::npos) return d;
  return nullptr;
}

}  // namespace talvenix
