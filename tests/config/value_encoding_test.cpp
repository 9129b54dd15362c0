// SPDX-License-Identifier: Apache-2.0
// The readings of the file format and the value cipher.

#include <gtest/gtest.h>

#include "support/value_cipher.hpp"
#include "config/value_encoding.hpp"

namespace talvenix {
namespace {

TEST(ValueEncoding, BooleansAreTrueOnlyWithALowerCaseYesInside) {
  EXPECT_TRUE(ReadsAsYes("yes"));
  EXPECT_TRUE(ReadsAsYes(u"yes please"));
  EXPECT_FALSE(ReadsAsYes("Yes"));
  EXPECT_FALSE(ReadsAsYes(u"YES"));
  EXPECT_FALSE(ReadsAsYes("1"));
  EXPECT_FALSE(ReadsAsYes(""));
}

TEST(ValueEncoding, IntegersKeepOnlyTheirDigits) {
  EXPECT_EQ(ReadDigits("1,000"), 1000);
  EXPECT_EQ(ReadDigits(u"-5"), 5);
  EXPECT_EQ(ReadDigits("abc"), 0);
  EXPECT_EQ(ReadDigits(""), 0);
  EXPECT_EQ(ReadDigits(u"\u0661\u0662 7"), 7) << "only ASCII digits count";
  EXPECT_EQ(ReadDigits("99999999999999999999"), INT32_MAX) << "no wrap-around";
}

TEST(ValueCipher, EnciphersIntoLettersAndBack) {
  for (std::string plain : {std::string(""), std::string("s3cret&<\"'"), std::string("p\xC3\xA4ss \xF0\x9F\x98\x80"),
                            std::string(300, 'z')}) {
    std::string cipher = EncipherValue(plain);
    ASSERT_EQ(cipher.size(), plain.size() * 2);
    EXPECT_EQ(cipher.find_first_not_of(kCipherLetters), std::string::npos);
    std::string back;
    ASSERT_TRUE(DecipherValue(cipher, back));
    EXPECT_EQ(back, plain);
  }
  // The key sequence advances and wraps, so equal bytes do not give equal letters.
  std::string cipher = EncipherValue(std::string(200, 'a'));
  EXPECT_NE(cipher.substr(0, 2), cipher.substr(2, 2));
  std::string expected = {kCipherLetters[('A' ^ kCipherKeyStart) >> 4], kCipherLetters[('A' ^ kCipherKeyStart) & 0xF]};
  EXPECT_EQ(EncipherValue("A"), expected);
}

TEST(ValueCipher, RefusesTextThatWasNotEnciphered) {
  std::string plain = "stale";
  EXPECT_FALSE(DecipherValue("secret", plain));  // letters outside the mapping
  EXPECT_TRUE(plain.empty());
  EXPECT_FALSE(DecipherValue("qwh", plain));  // odd length
}

}  // namespace
}  // namespace talvenix
