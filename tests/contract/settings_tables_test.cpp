// SPDX-License-Identifier: Apache-2.0
// The settings tables that gateways build from their descriptors: the rows in
// each gateway's own order, and every row inside the settings block.

#include "contract/settings_tables.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "gateways/catalog/catalog.hpp"
#include "gateways/internet/clickatell_service.hpp"
#include "gateways/internet/multitech_gateway.hpp"

namespace talvenix::testing {
namespace {

std::vector<std::u16string> Ids(const ConfigTable& table) {
  std::vector<std::u16string> ids;
  for (const ConfigItem& row : table) ids.push_back(row.id);
  return ids;
}

using Ids16 = std::vector<std::u16string>;

TEST(SettingsTables, RowsFollowEachGatewaysOwnOrder) {
  TalvexClickatellSettings clickatell{};
  for (uint32_t mode : {0u, 1u})
    EXPECT_EQ(Ids(SettingsLoadTable(kClickatellService, &clickatell, mode)),
              (Ids16{u"[apiid]", u"[from]", u"[password]", u"[user]"}));
  EXPECT_EQ(Ids(SettingsUpdateTable(kClickatellService, &clickatell, TALVEX_CLICKATELL_ALL)),
            (Ids16{u"[apiid]", u"[from]", u"[user]", u"[password]"}));
  EXPECT_EQ(
      Ids(SettingsUpdateTable(kClickatellService, &clickatell, TALVEX_CLICKATELL_PASSWORD | TALVEX_CLICKATELL_FROM)),
      (Ids16{u"[from]", u"[password]"}));
  EXPECT_TRUE(SettingsUpdateTable(kClickatellService, &clickatell, 0).empty());

  TalvexMultitechSettings multitech{};
  EXPECT_EQ(Ids(SettingsLoadTable(kMultitechService, &multitech, 1)),
            (Ids16{u"[username]", u"[password]", u"[port]", u"[ipaddress]"}));
  EXPECT_EQ(Ids(SettingsUpdateTable(kMultitechService, &multitech, TALVEX_MULTITECH_ALL)),
            (Ids16{u"[username]", u"[password]", u"[ipaddress]", u"[port]"}));
}

// A row whose destination or size reaches past the block would let the loader
// write into whatever the host keeps after it.
TEST(SettingsTables, EveryRowOfEveryGatewayStaysInsideItsBlock) {
  for (const ServiceDescriptor* d : AvailableServices()) {
    if (d->settings_fields.empty()) continue;
    SCOPED_TRACE(d->transport_id);
    std::vector<unsigned char> block(d->settings_block_size);
    const auto* begin = block.data();
    std::vector<ConfigTable> tables = {SettingsLoadTable(*d, block.data(), 0), SettingsLoadTable(*d, block.data(), 1),
                                       SettingsUpdateTable(*d, block.data(), d->settings_tables.all_fields_bit)};
    for (const ConfigTable& table : tables) {
      EXPECT_EQ(table.size(), d->settings_fields.size());
      std::set<std::u16string> ids;
      std::set<const void*> destinations;
      for (const ConfigItem& row : table) {
        SCOPED_TRACE(std::string(row.id.begin(), row.id.end()));
        ids.insert(row.id);
        destinations.insert(row.destination);
        ASSERT_EQ(row.value_type, kValueWide);  // every listed property is UTF-16 text
        size_t offset = static_cast<const unsigned char*>(row.destination) - begin;
        EXPECT_LE(offset + static_cast<size_t>(row.size) * sizeof(char16_t), block.size());
      }
      EXPECT_EQ(ids.size(), table.size());
      EXPECT_EQ(destinations.size(), table.size());
    }
    // Descriptions never land on a value.
    std::set<const void*> values;
    for (const ConfigItem& row : tables[0]) values.insert(row.destination);
    for (const ConfigItem& row : tables[1]) EXPECT_EQ(values.count(row.destination), 0u);
  }
}

}  // namespace
}  // namespace talvenix::testing
