// SPDX-License-Identifier: Apache-2.0
#pragma once
// Markup the configuration store refuses rather than half-understands:
// entity declarations, references to entities other than the five
// predefined ones, and an attribute given twice on one element. Entities are never
// expanded; refusing them is what keeps a hostile document from growing or
// reading other files.

#include <cstddef>
#include <string>
#include <string_view>

namespace talvenix {

// Scans UTF-8 document text. False when it holds refused markup: `offset` is
// the byte where it starts and `reason` says what it is and what to write
// instead. Text that is not well-formed is left for the parser to report.
bool AcceptableMarkup(std::string_view text, size_t& offset, std::string& reason);

// Quick checks that let a load of a sound document skip the scan above: the
// text may hold a refused reference or declaration, or an element may give
// the same attribute twice (false: it certainly does not).
bool MayHoldRefusedReferences(std::string_view text);
bool MayRepeatAnAttribute(std::string_view text);

}  // namespace talvenix
