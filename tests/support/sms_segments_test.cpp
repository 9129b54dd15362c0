// SPDX-License-Identifier: Apache-2.0
// The parts a text becomes, in the units the air carries: never a character
// cut in two, and a pair or a character the alphabet lacks counted as it is sent.

#include "support/sms_segments.hpp"

#include <gtest/gtest.h>

#include <string>

namespace talvenix::sms {
namespace {

std::vector<size_t> Ends(const std::vector<Segment>& parts) {
  std::vector<size_t> ends;
  for (const Segment& s : parts) ends.push_back(s.end);
  return ends;
}

TEST(SmsSegments, PartsNeverCutACharacterAndCountItAsItIsSent) {
  // 152 septets, then '€' (escape and a septet): it moves whole to part two.
  std::u16string euro = std::u16string(152, u'a') + u"\u20AC" + std::u16string(10, u'b');
  EXPECT_EQ(Ends(MessageParts(euro, Coding::kGsm7)), (std::vector<size_t>{152, 163}));
  EXPECT_EQ(MessageParts(euro, Coding::kGsm7)[1].units, 12u);
  // 160 septets fit a lone message; one more makes parts of 153.
  EXPECT_EQ(MessageParts(std::u16string(160, u'a'), Coding::kGsm7).size(), 1u);
  EXPECT_EQ(Ends(MessageParts(std::u16string(161, u'a'), Coding::kGsm7)), (std::vector<size_t>{153, 161}));
  // A surrogate pair is one '?' in GSM-7, and two code units never parted in UCS-2.
  std::u16string pairs = std::u16string(66, u'x') + u"\U0001F600" + u"yyy";
  EXPECT_EQ(MessageParts(pairs, Coding::kGsm7)[0].units, 70u);
  EXPECT_EQ(Ends(MessageParts(pairs, Coding::kUcs2)), (std::vector<size_t>{66, 71}));
  EXPECT_EQ(MessageParts(u"", Coding::kUcs2).size(), 1u);  // an empty message is still sent
}

TEST(SmsSegments, ALimitOfPartsLeavesTheRestOutAndAWideCharacterGoesAlone) {
  std::u16string text = u"ab\u20ACcd";
  EXPECT_EQ(Ends(Segments(text, Coding::kGsm7, 2, 2)), (std::vector<size_t>{2, 3}));  // "cd" left out
  EXPECT_EQ(Ends(Segments(text, Coding::kGsm7, 1)), (std::vector<size_t>{1, 2, 3, 4, 5}));
}

}  // namespace
}  // namespace talvenix::sms
