// SPDX-License-Identifier: Apache-2.0
#pragma once
// The ConfigLoad and ConfigUpdate tables of a gateway, made from its
// descriptor's one list of settings fields. Rows point into the caller's
// settings block, which must outlive the table. Any thread.

#include <cstdint>

#include "contract/config_item.hpp"
#include "contract/service_descriptor.hpp"

namespace talvenix {

// The rows that read every field of `descriptor` into `settings_block`: the
// values (load mode 0) or, for any other mode, the descriptions, in the
// gateway's load order. Value and description rows are required and have no default.
ConfigTable SettingsLoadTable(const ServiceDescriptor& descriptor, void* settings_block, uint32_t load_mode);
// The rows that write the fields selected by `mask` (every field with the
// descriptor's all-fields bit) from `settings_block`, in the gateway's update order.
ConfigTable SettingsUpdateTable(const ServiceDescriptor& descriptor, void* settings_block, uint32_t mask);

}  // namespace talvenix
