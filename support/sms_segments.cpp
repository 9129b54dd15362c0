// SPDX-License-Identifier: Apache-2.0
#include "support/sms_segments.hpp"

#include "support/gsm_alphabet.hpp"

namespace talvenix::sms {
namespace {

bool PairAt(std::u16string_view text, size_t at) {
  return at + 1 < text.size() && text[at] >= 0xD800 && text[at] <= 0xDBFF && text[at + 1] >= 0xDC00 &&
         text[at + 1] <= 0xDFFF;
}

}  // namespace

size_t UnitsOf(std::u16string_view text, size_t at, Coding coding, size_t& span) {
  span = PairAt(text, at) ? 2 : 1;
  if (coding == Coding::kUcs2) return span;
  if (span == 2) return 1;  // one '?'
  int septets = gsm7::SeptetsOf(text[at]);
  return septets == 0 ? 1 : static_cast<size_t>(septets);
}

std::vector<Segment> Segments(std::u16string_view text, Coding coding, size_t room, size_t max_parts) {
  std::vector<Segment> parts;
  Segment current{0, 0, 0};
  for (size_t at = 0; at < text.size();) {
    size_t span = 1;
    size_t units = UnitsOf(text, at, coding, span);
    if (current.units > 0 && current.units + units > room) {
      if (parts.size() + 1 >= max_parts) break;
      parts.push_back(current);
      current = Segment{at, at, 0};
    }
    current.end = at + span;
    current.units += units;
    at += span;
  }
  if (current.units > 0 && parts.size() < max_parts) parts.push_back(current);
  return parts;
}

std::vector<Segment> MessageParts(std::u16string_view text, Coding coding) {
  if (text.empty()) return {Segment{0, 0, 0}};  // an empty message is still one
  const bool gsm = coding == Coding::kGsm7;
  std::vector<Segment> whole = Segments(text, coding, gsm ? kSingleSeptets : kSingleUcs2, 1);
  if (whole.empty() || whole[0].end == text.size()) return whole;
  return Segments(text, coding, gsm ? kPartSeptets : kPartUcs2);
}

}  // namespace talvenix::sms
