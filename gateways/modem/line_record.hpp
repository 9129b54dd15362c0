// SPDX-License-Identifier: Apache-2.0
#pragma once
// The GSM modem line record: its initial values, bounded access to its texts
// (a record from the host need not terminate them), and the record the driver
// gets for a line.

#include <memory>
#include <string>
#include <string_view>

#include "talvenix/talvenix.h"

namespace talvenix::gsm {

using LineText = char16_t[TALVEX_LINE_TEXT_CHARS];

// A record with the initial values: retry 3, international numbers 1,
// status 1 (not started), last code 1, everything else 0 or empty.
std::unique_ptr<TalvexLineRecord> NewLineRecord();
void ResetLineRecord(TalvexLineRecord* record);

// The text of a field, read up to the field's end when it holds no NUL.
std::u16string ReadText(const LineText& field);
// Stores at most 511 characters and the NUL.
void WriteText(LineText& field, std::u16string_view text);

// Zeroes `out` and fills it from the line: port, baud rate, retry count, the
// receive/send/clean-SIM/international flags, and the three texts in 8-bit.
// The SMSC and initialisation texts count only when longer than one
// character. Context and callback are left for the gateway.
void BuildDriverLineRecord(const TalvexLineRecord& line, TalvexDriverLineRecord* out);

}  // namespace talvenix::gsm
