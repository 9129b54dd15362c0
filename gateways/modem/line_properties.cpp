// SPDX-License-Identifier: Apache-2.0
#include "gateways/modem/line_properties.hpp"

#include <cstdint>
#include <string>

#include "gateways/modem/gsm_modem_gateway.hpp"
#include "gateways/modem/line_record.hpp"
#include "support/text_codec.hpp"

namespace talvenix::gsm {
namespace {

constexpr char16_t kCnmiHelp[] =
    u"Override CNMI Parameters, parameters: (MODE)(MT)(BM)(DS)(BFR), use '-' for range (1-3),  use ',' for "
    u"multiples (0,2,3) or just (1) Example: (2) (0,2,3) (0-3) (0-2) (0,1), Note: Orlinda may ignore certain "
    u"parameters overide if not supported.";

struct Property {
  uint32_t bit;
  const char16_t* id;
  const char16_t* display;
};

// In the order ConfigUpdate writes them.
constexpr Property kUpdateOrder[] = {
    {TALVEX_LINE_COMPORT, u"[comport]", u"COM Port"},
    {TALVEX_LINE_ENABLED, u"[lineenabled]", u"Line Enabled?"},
    {TALVEX_LINE_READIOMODE, u"[readiomode]", u"Read IO Mode"},
    {TALVEX_LINE_SMSRETRY, u"[smsretry]", u"SMS Retry Count"},
    {TALVEX_LINE_INUMBERENABLED, u"[inumberenabled]", u"International Numbers Enabled?"},
    {TALVEX_LINE_BAUDRATE, u"[baudrate]", u"Baud Rate"},
    {TALVEX_LINE_INITSTR, u"[initstr]", u"Initialisation String*"},
    {TALVEX_LINE_SMSC, u"[smsc]", u"Service Center Number"},
    {TALVEX_LINE_NAME, u"[linename]", u"Line Name"},
    {TALVEX_LINE_RECENABLED, u"[recenabled]", u"Accept Incoming SMS?"},
    {TALVEX_LINE_SENDENABLED, u"[sendenabled]", u"Accept Outgoing SMS?"},
    {TALVEX_LINE_CLEANSIM, u"[cleansimenabled]", u"Clean Sim card on Init?"},
    {TALVEX_LINE_SRENABLED, u"[srenabled]", u"Status Reports Enabled?"},
    {TALVEX_LINE_CNMI, u"[cnmiparameters]", kCnmiHelp},
};

// In the order a new line lists them.
constexpr uint32_t kTemplateOrder[] = {
    TALVEX_LINE_COMPORT,   TALVEX_LINE_BAUDRATE,     TALVEX_LINE_INITSTR,  TALVEX_LINE_SMSC,
    TALVEX_LINE_NAME,      TALVEX_LINE_RECENABLED,   TALVEX_LINE_SENDENABLED, TALVEX_LINE_CLEANSIM,
    TALVEX_LINE_SRENABLED, TALVEX_LINE_ENABLED,      TALVEX_LINE_SMSRETRY, TALVEX_LINE_INUMBERENABLED,
    TALVEX_LINE_READIOMODE, TALVEX_LINE_CNMI,
};

const Property& PropertyOf(uint32_t bit) {
  for (const Property& p : kUpdateOrder)
    if (p.bit == bit) return p;
  return kUpdateOrder[0];  // every caller passes a bit of the table
}

const Property* PropertyOf(std::u16string_view id) {
  for (const Property& p : kUpdateOrder)
    if (id == p.id) return &p;
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

std::u16string ValueOf(const TalvexLineRecord& line, uint32_t bit, bool for_update) {
  switch (bit) {
    case TALVEX_LINE_COMPORT: return Decimal(for_update ? line.new_comport : line.comport);
    case TALVEX_LINE_BAUDRATE: return Decimal(line.baudrate);
    case TALVEX_LINE_NAME: return ReadText(line.line_name);
    case TALVEX_LINE_INITSTR: return ReadText(line.initstr);
    case TALVEX_LINE_SMSC: return ReadText(line.smsc);
    case TALVEX_LINE_RECENABLED: return Flag(line.accept_incoming);
    case TALVEX_LINE_SENDENABLED: return Flag(line.accept_outgoing);
    case TALVEX_LINE_CLEANSIM: return Flag(line.clean_sim);
    case TALVEX_LINE_SRENABLED: return Flag(line.status_reports);
    case TALVEX_LINE_ENABLED: return Flag(line.line_enabled);
    case TALVEX_LINE_SMSRETRY: return Decimal(line.sms_retry);
    case TALVEX_LINE_INUMBERENABLED: return Flag(line.international_numbers);
    case TALVEX_LINE_READIOMODE: return line.read_mode == 1 ? u"BLOCKING" : u"NON-BLOCKING";
    case TALVEX_LINE_CNMI: return ReadText(line.cnmi);
  }
  return {};
}

}  // namespace

const char16_t* TransportId() {
  static const std::u16string id = Utf8ToUtf16(kModemService.transport_id);
  return id.c_str();
}

void ApplyLineProperty(TalvexLineRecord* line, std::u16string_view id, std::u16string_view value) {
  const Property* p = PropertyOf(id);
  if (!p) return;
  switch (p->bit) {
    case TALVEX_LINE_COMPORT: line->comport = static_cast<uint32_t>(ParseLeadingInteger(value)); break;
    case TALVEX_LINE_BAUDRATE: line->baudrate = static_cast<uint32_t>(ParseLeadingInteger(value)); break;
    case TALVEX_LINE_SMSRETRY: line->sms_retry = ParseLeadingInteger(value); break;
    case TALVEX_LINE_RECENABLED: ApplyFlag(line->accept_incoming, value); break;
    case TALVEX_LINE_SENDENABLED: ApplyFlag(line->accept_outgoing, value); break;
    case TALVEX_LINE_CLEANSIM: ApplyFlag(line->clean_sim, value); break;
    case TALVEX_LINE_SRENABLED: ApplyFlag(line->status_reports, value); break;
    case TALVEX_LINE_ENABLED: ApplyFlag(line->line_enabled, value); break;
    case TALVEX_LINE_INUMBERENABLED: ApplyFlag(line->international_numbers, value); break;
    case TALVEX_LINE_READIOMODE:
      line->read_mode = value.find(u"NON-BLOCKING") == std::u16string_view::npos ? 1 : 0;
      break;
    case TALVEX_LINE_NAME: WriteText(line->line_name, value); break;
    case TALVEX_LINE_INITSTR: WriteText(line->initstr, value); break;
    case TALVEX_LINE_SMSC: WriteText(line->smsc, value); break;
    case TALVEX_LINE_CNMI: WriteText(line->cnmi, value); break;
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
  for (const Property& p : kUpdateOrder) {
    if (!(mask & p.bit)) continue;
    LinePropertyItem row;
    row.item.id = p.id;
    row.item.direction = kConfigUpdate;
    row.value = ValueOf(line, p.bit, true);
    rows.push_back(std::move(row));
  }
  return rows;
}

LineTemplate NewLineTemplate(const TalvexLineRecord& line) {
  LineTemplate fields;
  for (uint32_t bit : kTemplateOrder) {
    const Property& p = PropertyOf(bit);
    fields.push_back({p.display, p.id, ValueOf(line, bit, false)});
  }
  return fields;
}

}  // namespace talvenix::gsm
