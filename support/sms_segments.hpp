// SPDX-License-Identifier: Apache-2.0
#pragma once
// How a text is cut into the parts of an SMS, in the units the air carries:
// septets of the GSM 7-bit default alphabet, or UCS-2 code units. The one
// place for it: the engine sizes the parts of a gateway that sends in the GSM
// alphabet with it, and the AT driver cuts its PDUs with it.
//
//   3GPP TS 23.038 section 6.2.1: the default alphabet; a character of its
//     extension table is the escape and one more septet, never cut apart.
//   3GPP TS 23.040 section 9.2.3.24.1: a part of a concatenated message carries
//     a 6-octet user data header (length, IEI 0x00, its length, reference,
//     count, sequence), so of the 140 octets it holds 153 septets instead of
//     160, or 67 UCS-2 characters instead of 70.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace talvenix::sms {

constexpr size_t kSingleSeptets = 160;
constexpr size_t kPartSeptets = 153;
constexpr size_t kSingleUcs2 = 70;
constexpr size_t kPartUcs2 = 67;

enum class Coding { kGsm7, kUcs2 };

// Code units [begin, end) of the text, and the units they take on the air.
struct Segment {
  size_t begin;
  size_t end;
  size_t units;
};

// Units a character takes: in GSM-7 its septets, 2 for an extension
// character, and 1 for a character the alphabet lacks (sent as '?', a
// surrogate pair as one '?'); in UCS-2 its code units. A pair is one
// character: `span` gets the code units it covers (1 or 2).
size_t UnitsOf(std::u16string_view text, size_t at, Coding coding, size_t& span);

// `text` cut greedily into parts of at most `room` units, never inside a
// character; a character larger than `room` goes into a part alone. At most
// `max_parts` parts: the text after them is left out.
std::vector<Segment> Segments(std::u16string_view text, Coding coding, size_t room,
                              size_t max_parts = std::numeric_limits<size_t>::max());

// The parts a message of `text` becomes: one when it fits a lone message
// (160 septets, 70 code units; an empty text too), else the parts of a
// concatenated one.
std::vector<Segment> MessageParts(std::u16string_view text, Coding coding);

}  // namespace talvenix::sms
