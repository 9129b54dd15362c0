// SPDX-License-Identifier: Apache-2.0
#include "gateways/catalog/catalog.hpp"

#include "contract/service.hpp"

namespace talvenix {

constexpr ServiceDescriptor kModemService = {
    TALVEX_SERVICE_GSM,
    "simple_gsm",
    "GSM COM Driver Gateway",
    kCapAppliesUpdates | kCapMultiLine | kCapSplitsItself | kCapReceives,
    kTraitSettingsExports | kTraitLoadResources | kTraitCountsGsmAlphabet,
    0,  // the block is the host's line list: `talvenix lines` edits it
    {},
};

}  // namespace talvenix
