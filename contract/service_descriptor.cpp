// SPDX-License-Identifier: Apache-2.0
#include "contract/service_descriptor.hpp"

#include <charconv>

namespace talvenix {

bool SettingsField::AcceptsNumber(std::string_view text) const {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return false;
  text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value >= min_number && value <= max_number;
}

std::u16string WideId(std::string_view id) { return std::u16string(id.begin(), id.end()); }

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
