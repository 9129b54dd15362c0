// SPDX-License-Identifier: Apache-2.0
#pragma once
// How much of a text the engine sends under the splitting options, and how
// many parts the whole text would take: the engine cuts by it, and a host
// (the daemon) refuses by it a text that would not go out whole.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace talvenix::sms {

constexpr int32_t kUnicodeCharsPerPart = 70;  // a UTF-16 part, whatever "maxsmschars" says
constexpr int32_t kSelfSplitReserve = 7;      // per part, for a gateway's own part headers

struct FitRules {
  bool splits_itself = false;     // the gateway takes the whole text and splits it
  bool counts_septets = false;    // ... in the GSM alphabet (the modem lines)
  bool unicode_disabled = false;  // "disableunicode"
  bool split = true;              // "splitsms"
  int32_t max_chars = 160;        // "maxsmschars"
  int32_t max_parts = 3;          // "maxsmssplit" (below 1 counts as 1)
};

struct TextFit {
  bool utf16;              // goes out in UTF-16
  int32_t chars_per_part;  // of the parts the engine cuts
  uint32_t max_parts;      // the most parts the options allow
  uint32_t parts_needed;   // parts the whole text takes
  size_t kept;             // code units that go out: all of them when the text fits
};

TextFit FitText(std::u16string_view text, const FitRules& rules);

}  // namespace talvenix::sms
