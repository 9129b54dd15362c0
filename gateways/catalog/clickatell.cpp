// SPDX-License-Identifier: Apache-2.0
#include "gateways/catalog/catalog.hpp"

#include <cstddef>

#include "contract/service.hpp"

namespace talvenix {
namespace {

constexpr uint32_t kValueChars = TALVEX_CLICKATELL_VALUE_CHARS;
constexpr int32_t kLoadChars = kValueChars - 1;
using Block = TalvexClickatellSettings;

// In mask order. Both load tables take apiid, from, password, user; the
// update table apiid, from, user, password.
// clang-format off
constexpr SettingsField kClickatellFields[] = {
    {"[user]", TALVEX_CLICKATELL_USER, offsetof(Block, user), SettingsField::kWide, kValueChars, false,
     {kLoadChars, offsetof(Block, user_description), /*load_row=*/3, /*update_row=*/2}},
    {"[password]", TALVEX_CLICKATELL_PASSWORD, offsetof(Block, password), SettingsField::kWide, kValueChars, true,
     {kLoadChars, offsetof(Block, password_description), /*load_row=*/2, /*update_row=*/3}},
    {"[from]", TALVEX_CLICKATELL_FROM, offsetof(Block, from), SettingsField::kWide, kValueChars, false,
     {kLoadChars, offsetof(Block, from_description), /*load_row=*/1, /*update_row=*/1}},
    {"[apiid]", TALVEX_CLICKATELL_APIID, offsetof(Block, apiid), SettingsField::kWide, kValueChars, false,
     {kLoadChars, offsetof(Block, apiid_description), /*load_row=*/0, /*update_row=*/0}},
};
// clang-format on

// Other endpoints of the service, for tests and relays (in ClickatellSetting order).
constexpr GatewaySetting kClickatellSettings[] = {
    {"centralurl", GatewaySetting::kServiceAttribute, 1000, nullptr, false},
    {"platformurl", GatewaySetting::kServiceAttribute, 1000, nullptr, false},
};

constexpr SettingsAttribute kClickatellAttributes[] = {{"signupurl", offsetof(Block, signupurl), kLoadChars}};

}  // namespace

constexpr ServiceDescriptor kClickatellService = {
    TALVEX_SERVICE_CLICKATELL,
    "clickatellapi",
    "ClickATell Gateway",
    0,
    kTraitSettingsExports | kTraitOwnSender | kTraitConcurrentSends,
    sizeof(TalvexClickatellSettings),
    kClickatellFields,
    {TALVEX_CLICKATELL_ALL, TALVEX_CLICKATELL_DESCRIPTION_CHARS - 1, false, kClickatellAttributes},
    {},
    kClickatellSettings,
};

}  // namespace talvenix
