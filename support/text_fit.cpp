// SPDX-License-Identifier: Apache-2.0
#include "support/text_fit.hpp"

#include <algorithm>

#include "support/gsm_alphabet.hpp"
#include "support/sms_segments.hpp"
#include "support/text_codec.hpp"

namespace talvenix::sms {
namespace {

bool NeedsUtf16(std::u16string_view text) {
  unsigned any = 0;
  for (size_t i = 0; i < text.size(); ++i) any |= text[i] >= 127;  // no early exit: this loop vectorises
  return any != 0;
}

bool OutsideGsmAlphabet(std::u16string_view text) {
  return std::any_of(text.begin(), text.end(), [](char16_t c) { return gsm7::SeptetsOf(c) == 0; });
}

// The parts the engine cuts itself: `chars` code units each, never half a
// surrogate pair (a part of one character takes the whole pair).
void FitEngineParts(std::u16string_view text, TextFit& fit) {
  size_t index = 0;
  fit.parts_needed = 0;
  fit.kept = 0;
  while (index < text.size()) {
    std::u16string_view rest = text.substr(index);
    size_t length = CutLength(rest, static_cast<size_t>(fit.chars_per_part));
    if (length == 0) length = std::min<size_t>(2, rest.size());
    index += length;
    if (++fit.parts_needed <= fit.max_parts) fit.kept = index;
  }
}

// A gateway that splits by itself gets the text cut to what its parts hold,
// each `reserve` short of a part of the engine's.
void FitGatewayParts(std::u16string_view text, bool septets, TextFit& fit) {
  // Below the reserve a part would have negative room: one character each instead.
  const uint64_t room = fit.chars_per_part > kSelfSplitReserve ? uint64_t(fit.chars_per_part - kSelfSplitReserve) : 1;
  if (septets) {
    // No part of the gateway's holds more than a concatenated part; a
    // character the alphabet lacks goes out as '?' (UCS-2 is off).
    auto parts = Segments(text, Coding::kGsm7, std::min<uint64_t>(room, kPartSeptets));
    fit.parts_needed = static_cast<uint32_t>(std::min<size_t>(parts.size(), UINT32_MAX));
    fit.kept = parts.size() <= fit.max_parts ? text.size() : parts[fit.max_parts - 1].end;
    return;
  }
  fit.parts_needed = static_cast<uint32_t>(std::min<uint64_t>((text.size() + room - 1) / room, UINT32_MAX));
  const uint64_t limit = std::min<uint64_t>(room * fit.max_parts, UINT32_MAX);
  fit.kept = text.size() > limit ? CutLength(text, static_cast<size_t>(limit)) : text.size();
}

}  // namespace

TextFit FitText(std::u16string_view text, const FitRules& rules) {
  TextFit fit{};
  fit.utf16 = !rules.unicode_disabled && (rules.counts_septets ? OutsideGsmAlphabet(text) : NeedsUtf16(text));
  fit.chars_per_part = std::max<int32_t>(fit.utf16 ? kUnicodeCharsPerPart : rules.max_chars, 1);
  fit.max_parts = rules.split ? static_cast<uint32_t>(std::max<int32_t>(rules.max_parts, 1)) : 1;
  if (rules.splits_itself)
    FitGatewayParts(text, rules.counts_septets && !fit.utf16, fit);
  else
    FitEngineParts(text, fit);
  return fit;
}

}  // namespace talvenix::sms
