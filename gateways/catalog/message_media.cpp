// SPDX-License-Identifier: Apache-2.0
#include "gateways/catalog/catalog.hpp"

#include <cstddef>

#include "contract/service.hpp"

namespace talvenix {
namespace {

constexpr int32_t kMaxPollMinutes = 999999999;  // the most the 9-character field holds
constexpr int32_t kShortText = 999;             // user name, password and sign-up link, load mode 0
constexpr int32_t kIntervalText = 9;            // poll interval, load mode 0
constexpr int32_t kLongText = 1999;             // every description, load mode 1
using Block = TalvexMessageMediaSettings;

// In mask order, which every table keeps; load mode 1 fills the long fields.
// clang-format off
constexpr SettingsField kMessageMediaFields[] = {
    {"[username]", TALVEX_MM_USERNAME, offsetof(Block, username), SettingsField::kWide, 1000, false,
     {kShortText, offsetof(Block, username_long), /*load_row=*/0, /*update_row=*/0}},
    {"[password]", TALVEX_MM_PASSWORD, offsetof(Block, password), SettingsField::kWide, 1000, true,
     {kShortText, offsetof(Block, password_long), /*load_row=*/1, /*update_row=*/1}},
    {"[receivepollinterval]", TALVEX_MM_POLLINTERVAL, offsetof(Block, poll_interval), SettingsField::kWide, 10, false,
     {kIntervalText, offsetof(Block, poll_interval_long), /*load_row=*/2, /*update_row=*/2}, 1, kMaxPollMinutes},
};
// clang-format on

// Where the service is reached; tests and local relays point it elsewhere.
constexpr GatewaySetting kMessageMediaSettings[] = {
    {"endpoint", GatewaySetting::kServiceAttribute, 2048, nullptr, false}};

constexpr SettingsAttribute kMessageMediaAttributes[] = {{"signupurl", offsetof(Block, signup_url), kShortText}};

}  // namespace

constexpr ServiceDescriptor kMessageMediaService = {
    TALVEX_SERVICE_MESSAGEMEDIA,
    "messagemediaservice",
    "Message Media Service",
    kCapReceives | kCapSplitsItself | kCapAppliesUpdates,
    kTraitSettingsExports | kTraitOwnSender,
    sizeof(TalvexMessageMediaSettings),
    kMessageMediaFields,
    {TALVEX_MM_ALL, kLongText, false, kMessageMediaAttributes},
    {},
    kMessageMediaSettings,
};

}  // namespace talvenix
