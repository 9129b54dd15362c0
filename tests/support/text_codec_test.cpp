// SPDX-License-Identifier: Apache-2.0
// The one text codec: round trips, broken input, bounded copies.

#include "support/text_codec.hpp"

#include <gtest/gtest.h>

namespace talvenix {
namespace {

TEST(TextCodec, RoundTripsEveryPlane) {
  std::u16string text = u"a\u00e9\u20ac\U0001F600z";
  EXPECT_EQ(Utf16ToUtf8(text), "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z");
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
}

TEST(TextCodec, BrokenInputBecomesReplacementCharacters) {
  EXPECT_EQ(Utf16ToUtf8(u"\xD800x"), "\xef\xbf\xbdx");                // lone high surrogate
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, 0xDC00)), "\xef\xbf\xbd");  // lone low surrogate
  EXPECT_EQ(Utf8ToUtf16("\xff"
                        "a"),
            u"\uFFFDa");
  EXPECT_EQ(Utf8ToUtf16("\xc3"), u"\uFFFD");                      // truncated sequence
  EXPECT_EQ(Utf8ToUtf16("\xc0\xaf"), u"\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(Utf8ToUtf16("\xed\xa0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
}

TEST(TextCodec, BoundedCopiesAlwaysTerminate) {
  char narrow[4];
  CopyBounded(narrow, sizeof narrow, "abcdef");
  EXPECT_STREQ(narrow, "abc");
  char16_t wide[3];
  CopyBounded(wide, 3, u"xyz");
  EXPECT_EQ(std::u16string(wide), u"xy");
  EXPECT_EQ(Utf16Length(u"abc", 2), 2u);
  // Every NUL position and limit around the four-character steps.
  for (size_t nul = 0; nul < 11; ++nul) {
    std::u16string buffer(11, u'x');
    buffer[nul] = u'\0';
    for (size_t limit = 0; limit <= buffer.size(); ++limit)
      EXPECT_EQ(Utf16Length(buffer.data(), limit), std::min(nul, limit)) << nul << " " << limit;
    EXPECT_EQ(Utf16Length(buffer.data()), nul);
  }
  EXPECT_EQ(Utf16Length(nullptr), 0u);
}

}  // namespace
}  // namespace talvenix
