// SPDX-License-Identifier: Apache-2.0
#include "gateways/catalog/catalog.hpp"

#include <cstddef>

#include "contract/service.hpp"

namespace talvenix {
namespace {

constexpr int32_t kLoadChars = 999;
using Block = TalvexMultitechSettings;

// In mask order, which the update table keeps; both load tables take the
// port before the address.
// clang-format off
constexpr SettingsField kMultitechFields[] = {
    {"[username]", TALVEX_MULTITECH_USERNAME, offsetof(Block, username), SettingsField::kWide, kLoadChars, false,
     {kLoadChars, offsetof(Block, username_description), /*load_row=*/0, /*update_row=*/0}},
    {"[password]", TALVEX_MULTITECH_PASSWORD, offsetof(Block, password), SettingsField::kWide, kLoadChars, true,
     {kLoadChars, offsetof(Block, password_description), /*load_row=*/1, /*update_row=*/1}},
    {"[ipaddress]", TALVEX_MULTITECH_IPADDRESS, offsetof(Block, ipaddress), SettingsField::kWide, kLoadChars, false,
     {kLoadChars, offsetof(Block, ipaddress_description), /*load_row=*/3, /*update_row=*/2}},
    {"[port]", TALVEX_MULTITECH_PORT, offsetof(Block, port), SettingsField::kWide, kLoadChars, false,
     {kLoadChars, offsetof(Block, port_description), /*load_row=*/2, /*update_row=*/3}, 1, 65535},
};
// clang-format on

}  // namespace

constexpr ServiceDescriptor kMultitechService = {
    TALVEX_SERVICE_MULTITECH,
    "multitechisms",
    "Multi-Tech SMS Finder Service",
    kCapAppliesUpdates | kCapSplitsItself | kCapReceives,
    kTraitSettingsExports | kTraitOwnSender,
    sizeof(TalvexMultitechSettings),
    kMultitechFields,
    {TALVEX_MULTITECH_ALL, TALVEX_MULTITECH_DESCRIPTION_CHARS - 1, true},
};

}  // namespace talvenix
