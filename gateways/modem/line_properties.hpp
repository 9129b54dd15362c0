// SPDX-License-Identifier: Apache-2.0
#pragma once
// How a GSM modem line is stored in the configuration document: reading the
// lines into records, the rows that write selected properties of a record,
// and the template of a new line.

#include <memory>
#include <vector>

#include "contract/configuration_interface.hpp"
#include "talvenix/talvenix.h"

namespace talvenix::gsm {

// The modem service's transport id (its descriptor's), as the loader takes it.
const char16_t* TransportId();
inline constexpr char16_t kKeyProperty[] = u"[comport]";

using LineRecords = std::vector<std::unique_ptr<TalvexLineRecord>>;

// Reads every line of the document, in document order, and appends one record
// per line to `lines`. Returns 1, also when there are no lines.
int LoadLineRecords(IGSMConfigurationInterface* loader, LineRecords& lines);

// Applies one stored property to a record. Numbers are read from their leading
// digits (saturated to 32 bits); a flag keeps its value unless the number is 0
// or 1; unknown ids are ignored.
void ApplyLineProperty(TalvexLineRecord* line, std::u16string_view id, std::u16string_view value);

// (id, value) rows for the bits of `mask`, in the order they are written; for
// bit 0x1 the value is the record's new COM port.
std::vector<LinePropertyItem> LinePropertyRows(const TalvexLineRecord& line, uint32_t mask);

// The fourteen (display text, id, value) triples of a new line, key first.
LineTemplate NewLineTemplate(const TalvexLineRecord& line);

}  // namespace talvenix::gsm
