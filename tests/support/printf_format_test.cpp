// SPDX-License-Identifier: Apache-2.0
// The log formatter: narrow and UTF-16 formats, and formats that are wrong.

#include "support/printf_format.hpp"

#include <gtest/gtest.h>

#include <climits>

namespace talvenix {
namespace {

std::string F(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = FormatPrintf(format, args);
  va_end(args);
  return s;
}

std::string W(const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = FormatPrintf(format, args);
  va_end(args);
  return s;
}

TEST(PrintfFormat, NumbersFollowPrintf) {
  EXPECT_EQ(F("[qverc: %d]", 112), "[qverc: 112]");
  EXPECT_EQ(F("%5d|%-4u|%04x|%X|%o", -7, 3u, 255u, 0xABu, 8u), "   -7|3   |00ff|AB|10");
  EXPECT_EQ(F("%ld %lld %llu %zu", LONG_MIN, LLONG_MAX, ULLONG_MAX, size_t{42}),
            std::to_string(LONG_MIN) + " 9223372036854775807 18446744073709551615 42");
  EXPECT_EQ(F("%.2f %c %%", 3.14159, 'z'), "3.14 z %");
  EXPECT_EQ(F("%*d|%-*d|", 4, 1, 3, 2), "   1|2  |");
}

TEST(PrintfFormat, NarrowAndWideTextArguments) {
  EXPECT_EQ(F("name [%s] wide [%S]", "abc", u"d\u00e9f"),
            "name [abc] wide [d\xc3\xa9"
            "f]");
  EXPECT_EQ(W(u"wide [%s] narrow [%S] %d", u"\u20ac", "x", 5), "wide [\xe2\x82\xac] narrow [x] 5");
  EXPECT_EQ(W(u"%ls|%hs", u"w", "n"), "w|n");
  EXPECT_EQ(F("%.3s|%5s|%-3s|", "abcdef", "ab", "a"), "abc|   ab|a  |");
  EXPECT_EQ(W(u"%.2s", u"\U0001F600z"), "\xf0\x9f\x98\x80");  // precision counts code units
  EXPECT_EQ(F("%s %S", nullptr, nullptr), "(null) (null)");
}

TEST(PrintfFormat, MalformedFormatsAreCopiedNotExecuted) {
  EXPECT_EQ(F("100%"), "100%");
  EXPECT_EQ(F("%q and %d", 5), "%q and 5");
  EXPECT_EQ(F("trailing %l"), "trailing %l");
  EXPECT_EQ(F("no %n write"), "no %n write");
  EXPECT_EQ(F("%99999999d", 1).size(), 256u);  // width capped, no overflow
  EXPECT_EQ(F(nullptr), "");
  EXPECT_EQ(W(nullptr), "");
}

}  // namespace
}  // namespace talvenix
