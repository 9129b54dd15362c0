// SPDX-License-Identifier: Apache-2.0
#include "contract/settings_tables.hpp"

#include <algorithm>
#include <vector>

namespace talvenix {
namespace {

int32_t ValueTypeOf(SettingsField::Kind kind) {
  switch (kind) {
    case SettingsField::kWide:
      return kValueWide;
    case SettingsField::kNarrow:
      return kValueNarrow;
    case SettingsField::kInteger:
      return kValueInteger;
    case SettingsField::kBoolean:
      return kValueBoolean;
  }
  return kValueWide;
}

void* At(void* block, uint32_t offset) { return static_cast<unsigned char*>(block) + offset; }

// One routine builds all three tables: the field list in the order the
// table's rows take, each field mapped to its row.
enum class Table { kValues, kDescriptions, kUpdate };

ConfigTable Build(const ServiceDescriptor& d, void* block, Table which, uint32_t mask) {
  const SettingsTables& t = d.settings_tables;
  std::vector<const SettingsField*> fields;
  for (const SettingsField& f : d.settings_fields)
    if (which != Table::kUpdate || (mask & f.mask_bit) || (mask & t.all_fields_bit)) fields.push_back(&f);
  auto place = [which](const SettingsField* f) {
    return which == Table::kUpdate ? f->rows.update_row : f->rows.load_row;
  };
  std::stable_sort(fields.begin(), fields.end(), [&](auto* a, auto* b) { return place(a) < place(b); });

  ConfigTable table;
  table.reserve(fields.size());
  for (const SettingsField* f : fields) {
    std::u16string id = WideId(f->property_id);
    switch (which) {
      case Table::kValues:
        table.emplace_back(kConfigLoad, std::move(id), ValueTypeOf(f->kind), At(block, f->offset), f->rows.value_chars);
        break;
      case Table::kDescriptions:
        table.emplace_back(kConfigLoad, std::move(id), kValueWide, At(block, f->rows.description_offset),
                           t.description_chars);
        break;
      case Table::kUpdate:
        table.emplace_back(kConfigUpdate, std::move(id), ValueTypeOf(f->kind), At(block, f->offset),
                           t.sized_updates ? f->rows.value_chars : 0, nullptr, 1);
        break;
    }
  }
  return table;
}

}  // namespace

ConfigTable SettingsLoadTable(const ServiceDescriptor& descriptor, void* settings_block, uint32_t load_mode) {
  return Build(descriptor, settings_block, load_mode == 0 ? Table::kValues : Table::kDescriptions, 0);
}

ConfigTable SettingsUpdateTable(const ServiceDescriptor& descriptor, void* settings_block, uint32_t mask) {
  return Build(descriptor, settings_block, Table::kUpdate, mask);
}

}  // namespace talvenix
