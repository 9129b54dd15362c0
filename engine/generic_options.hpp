// SPDX-License-Identifier: Apache-2.0
#pragma once
// The two global-option operations, beside the gateway catalog that maps
// transport ids to service flags. Both use `loader` and `options` only during
// the call, log through the loader's logger, and are called on the host
// thread.

#include <cstdint>

#include "contract/configuration_interface.hpp"
#include "talvenix/talvenix.h"

namespace talvenix {

// The rows LoadGenericXMLConfigs reads `options` with: which options are
// required, their kinds and sizes. `talvenix config check` takes its rules
// from them; their destinations point into `options`.
ConfigTable GlobalOptionsLoadTable(TalvexGenericOptions* options);
// Reads the global options into the caller's `options`; non-zero on success,
// 0 on failure (rows read before a missing required one keep their values).
int LoadGenericXMLConfigs(TalvexGenericOptions* options, IGSMConfigurationInterface* loader);
// Writes the options selected by `option_mask` (0x1000: all) and saves the
// document; non-zero on success, 0 on failure (the file then unchanged).
int UpdateGenericXMLConfigs(IGSMConfigurationInterface* loader, TalvexGenericOptions* options, uint32_t option_mask);

}  // namespace talvenix
