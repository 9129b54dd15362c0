// SPDX-License-Identifier: Apache-2.0
// The parts a text becomes, in the units the air carries: never a character
// cut in two, and a pair or a character the alphabet lacks counted as it is sent.

#include "support/sms_segments.hpp"
#include "support/text_fit.hpp"

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

// How much of a text goes out under the splitting options, as the engine
// cuts it and the daemon refuses it: both must count the same parts.
TEST(TextFit, CountsThePartsTheEngineCutsAndKeepsWhatGoesOut) {
  const FitRules engine_splits{false, false, false, true, 160, 3};
  TextFit fit = FitText(std::u16string(480, u'x'), engine_splits);
  EXPECT_EQ(fit.parts_needed, 3u);
  EXPECT_EQ(fit.kept, 480u);
  fit = FitText(std::u16string(481, u'x'), engine_splits);
  EXPECT_EQ(fit.parts_needed, 4u);
  EXPECT_EQ(fit.kept, 480u);
  // UTF-16 parts hold 70, and a pair at a part's end moves whole to the next.
  fit = FitText(std::u16string(69, u'x') + u"\U0001F600" + std::u16string(139, u'y'), engine_splits);
  EXPECT_TRUE(fit.utf16);
  EXPECT_EQ(fit.parts_needed, 4u);  // 69, the pair and 68, 70, 1
  EXPECT_EQ(fit.kept, 209u);
  // Without splitting one part is all.
  EXPECT_EQ(FitText(std::u16string(161, u'x'), {false, false, false, false, 160, 3}).kept, 160u);

  // A gateway that splits itself in the GSM alphabet: parts of 153 septets, '€' two of them, never parted.
  const FitRules modem{true, true, false, true, 160, 1};
  fit = FitText(std::u16string(77, u'\u20AC'), modem);
  EXPECT_FALSE(fit.utf16);
  EXPECT_EQ(fit.parts_needed, 2u);
  EXPECT_EQ(fit.kept, 76u);
  // Other self-splitting gateways: each part 7 short of the engine's.
  fit = FitText(std::u16string(307, u'x'), {true, false, false, true, 160, 2});
  EXPECT_EQ(fit.parts_needed, 3u);
  EXPECT_EQ(fit.kept, 306u);
}

}  // namespace
}  // namespace talvenix::sms
