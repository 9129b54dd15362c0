// SPDX-License-Identifier: Apache-2.0
#include "gateways/modem/line_record.hpp"

#include <algorithm>
#include <cstring>

#include "support/text_codec.hpp"

namespace talvenix::gsm {
namespace {

// Copies 8-bit text into a driver field, never ending inside a multi-byte
// character, always terminated.
void CopyToDriverField(char (&field)[TALVEX_DRIVER_TEXT_BYTES], const std::string& text) {
  size_t n = std::min(text.size(), sizeof field - 1);
  while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  CopyBounded(field, n + 1, text);
}

}  // namespace

void ResetLineRecord(TalvexLineRecord* record) {
  std::memset(record, 0, sizeof *record);
  record->sms_retry = 3;
  record->international_numbers = 1;
  record->status = TALVEX_LINE_FAILED;
  record->last_code = 1;
}

std::unique_ptr<TalvexLineRecord> NewLineRecord() {
  auto record = std::make_unique<TalvexLineRecord>();
  ResetLineRecord(record.get());
  return record;
}

std::u16string ReadText(const LineText& field) {
  return std::u16string(field, Utf16Length(field, TALVEX_LINE_TEXT_CHARS));
}

void WriteText(LineText& field, std::u16string_view text) { CopyBounded(field, TALVEX_LINE_TEXT_CHARS, text); }

void BuildDriverLineRecord(const TalvexLineRecord& line, TalvexDriverLineRecord* out) {
  std::memset(out, 0, sizeof *out);
  out->comport = line.comport;
  out->baudrate = line.baudrate;
  out->sms_retry = static_cast<uint32_t>(line.sms_retry);
  out->can_receive = line.accept_incoming;
  out->can_send = line.accept_outgoing;
  out->international_numbers = line.international_numbers;
  out->clean_sim = line.clean_sim;

  // The CNMI override goes to the driver even when empty.
  CopyToDriverField(out->cnmi, Utf16ToUtf8(ReadText(line.cnmi)));
  out->has_cnmi = 1;
  // A one-character SMSC or initialisation text counts as absent.
  std::u16string smsc = ReadText(line.smsc);
  if (smsc.size() > 1) {
    CopyToDriverField(out->smsc, Utf16ToUtf8(smsc));
    out->has_smsc = 1;
  }
  std::u16string initstr = ReadText(line.initstr);
  if (initstr.size() > 1) {
    CopyToDriverField(out->initstr, Utf16ToUtf8(initstr));
    out->has_initstr = 1;
  }
}

}  // namespace talvenix::gsm
