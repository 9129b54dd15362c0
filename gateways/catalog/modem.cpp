// SPDX-License-Identifier: Apache-2.0
#include "gateways/catalog/catalog.hpp"

#include <cstddef>

#include "contract/service.hpp"

namespace talvenix {
namespace {

constexpr char16_t kCnmiHelp[] =
    u"Override CNMI Parameters, parameters: (MODE)(MT)(BM)(DS)(BFR), use '-' for range (1-3),  use ',' for "
    u"multiples (0,2,3) or just (1) Example: (2) (0,2,3) (0-3) (0-2) (0,1), Note: Orlinda may ignore certain "
    u"parameters overide if not supported.";

using L = LineField;
using R = TalvexLineRecord;

// In the order ConfigUpdate writes them; the last column is the place in a new line.
// clang-format off
constexpr LineField kLineFields[] = {
    {"[comport]", TALVEX_LINE_COMPORT, u"COM Port", L::kPort, offsetof(R, comport), 0},
    {"[lineenabled]", TALVEX_LINE_ENABLED, u"Line Enabled?", L::kFlag, offsetof(R, line_enabled), 9},
    {"[readiomode]", TALVEX_LINE_READIOMODE, u"Read IO Mode", L::kReadMode, offsetof(R, read_mode), 12},
    {"[smsretry]", TALVEX_LINE_SMSRETRY, u"SMS Retry Count", L::kSigned, offsetof(R, sms_retry), 10},
    {"[inumberenabled]", TALVEX_LINE_INUMBERENABLED, u"International Numbers Enabled?", L::kFlag,
     offsetof(R, international_numbers), 11},
    {"[baudrate]", TALVEX_LINE_BAUDRATE, u"Baud Rate", L::kUnsigned, offsetof(R, baudrate), 1},
    {"[initstr]", TALVEX_LINE_INITSTR, u"Initialisation String*", L::kText, offsetof(R, initstr), 2},
    {"[smsc]", TALVEX_LINE_SMSC, u"Service Center Number", L::kText, offsetof(R, smsc), 3},
    {"[linename]", TALVEX_LINE_NAME, u"Line Name", L::kText, offsetof(R, line_name), 4},
    {"[recenabled]", TALVEX_LINE_RECENABLED, u"Accept Incoming SMS?", L::kFlag, offsetof(R, accept_incoming), 5},
    {"[sendenabled]", TALVEX_LINE_SENDENABLED, u"Accept Outgoing SMS?", L::kFlag, offsetof(R, accept_outgoing), 6},
    {"[cleansimenabled]", TALVEX_LINE_CLEANSIM, u"Clean Sim card on Init?", L::kFlag, offsetof(R, clean_sim), 7},
    {"[srenabled]", TALVEX_LINE_SRENABLED, u"Status Reports Enabled?", L::kFlag, offsetof(R, status_reports), 8},
    {"[cnmiparameters]", TALVEX_LINE_CNMI, kCnmiHelp, L::kText, offsetof(R, cnmi), 13},
};
// clang-format on

}  // namespace

constexpr ServiceDescriptor kModemService = {
    TALVEX_SERVICE_GSM,
    "simple_gsm",
    "GSM COM Driver Gateway",
    kCapAppliesUpdates | kCapMultiLine | kCapSplitsItself | kCapReceives,
    kTraitSettingsExports | kTraitLoadResources | kTraitCountsGsmAlphabet | kTraitOwnSender,
    0,  // the block is the host's line list: `talvenix lines` edits it
    {},
    {},
    kLineFields,
};

}  // namespace talvenix
