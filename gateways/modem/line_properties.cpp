// SPDX-License-Identifier: Apache-2.0
#include "gateways/modem/line_properties.hpp"

#include <cstdint>
#include <string>

#include "contract/line_fields.hpp"
#include "gateways/catalog/catalog.hpp"
#include "gateways/modem/line_record.hpp"
#include "support/text_codec.hpp"

namespace talvenix::gsm {
namespace {

std::span<const LineField> Fields() { return kModemService.line_fields; }

const LineField* FieldOf(std::u16string_view id) {
  for (const LineField& f : Fields())
    if (id == WideId(f.property_id)) return &f;
  return nullptr;
}

// Leading blanks, an optional sign, then digits; anything else ends the number.
// No digits give 0; values beyond 32 bits saturate.
int32_t ParseLeadingInteger(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\n' || text[i] == u'\r')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + (text[i] - u'0');
    if (value > INT64_C(0x80000000)) value = INT64_C(0x80000000);
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<int32_t>(value);
}

void ApplyFlag(uint8_t& field, std::u16string_view value) {
  int32_t n = ParseLeadingInteger(value);
  if (n == 0 || n == 1) field = static_cast<uint8_t>(n);
}

std::u16string Decimal(int64_t value) { return Utf8ToUtf16(std::to_string(value)); }
const char16_t* Flag(uint8_t value) { return value ? u"1" : u"0"; }

std::u16string ValueOf(const TalvexLineRecord& line, const LineField& f, bool for_update) {
  switch (f.kind) {
    case LineField::kPort:
      return Decimal(for_update ? line.new_comport : LineMember<uint32_t>(line, f));
    case LineField::kUnsigned:
      return Decimal(LineMember<uint32_t>(line, f));
    case LineField::kSigned:
      return Decimal(LineMember<int32_t>(line, f));
    case LineField::kFlag:
      return Flag(LineMember<uint8_t>(line, f));
    case LineField::kReadMode:
      return LineMember<uint16_t>(line, f) == 1 ? u"BLOCKING" : u"NON-BLOCKING";
    case LineField::kText:
      return ReadText(LineMember<LineText>(line, f));
  }
  return {};
}

}  // namespace

const char16_t* TransportId() {
  static const std::u16string id = WideTransportId(kModemService);
  return id.c_str();
}

void ApplyLineProperty(TalvexLineRecord* line, std::u16string_view id, std::u16string_view value) {
  const LineField* f = FieldOf(id);
  if (!f) return;
  switch (f->kind) {
    case LineField::kPort:
    case LineField::kUnsigned:
      LineMember<uint32_t>(*line, *f) = static_cast<uint32_t>(ParseLeadingInteger(value));
      break;
    case LineField::kSigned:
      LineMember<int32_t>(*line, *f) = ParseLeadingInteger(value);
      break;
    case LineField::kFlag:
      ApplyFlag(LineMember<uint8_t>(*line, *f), value);
      break;
    case LineField::kReadMode:
      LineMember<uint16_t>(*line, *f) = value.find(u"NON-BLOCKING") == std::u16string_view::npos ? 1 : 0;
      break;
    case LineField::kText:
      WriteText(LineMember<LineText>(*line, *f), value);
      break;
  }
}

int LoadLineRecords(IGSMConfigurationInterface* loader, LineRecords& lines) {
  int count = loader->LoadServiceConfigsEx(TransportId(), kKeyProperty, nullptr);
  if (count < 1) return 1;
  std::vector<LinePropertyItem> rows(static_cast<size_t>(count));
  loader->LoadServiceConfigsEx(TransportId(), kKeyProperty, &rows);
  TalvexLineRecord* current = nullptr;
  int32_t current_number = 0;
  for (const LinePropertyItem& row : rows) {
    // Rows before the first key property, or rows the loader left unfilled,
    // belong to no line.
    if (row.line_number < 1) continue;
    if (!current || row.line_number != current_number) {
      lines.push_back(NewLineRecord());
      current = lines.back().get();
      current_number = row.line_number;
    }
    ApplyLineProperty(current, row.item.id, row.value);
  }
  return 1;
}

std::vector<LinePropertyItem> LinePropertyRows(const TalvexLineRecord& line, uint32_t mask) {
  std::vector<LinePropertyItem> rows;
  for (const LineField& f : Fields()) {
    if (!(mask & f.mask_bit)) continue;
    LinePropertyItem row;
    row.item.id = WideId(f.property_id);
    row.item.direction = kConfigUpdate;
    row.value = ValueOf(line, f, true);
    rows.push_back(std::move(row));
  }
  return rows;
}

LineTemplate NewLineTemplate(const TalvexLineRecord& line) {
  LineTemplate fields(Fields().size());
  for (const LineField& f : Fields())
    fields[f.template_place] = {f.display, WideId(f.property_id), ValueOf(line, f, false)};
  return fields;
}

}  // namespace talvenix::gsm
