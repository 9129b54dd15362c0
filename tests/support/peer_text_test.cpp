// SPDX-License-Identifier: Apache-2.0
// Peer text in log lines: no forged lines, no flooding, no broken UTF-8.

#include "support/peer_text.hpp"

#include <gtest/gtest.h>

namespace talvenix {
namespace {

TEST(PeerText, LineBreaksAndControlsCannotForgeALine) {
  EXPECT_EQ(PeerText("fault\r\n2026-01-01 [E] ClickATellService::SendSMS - Succesfully sent SMS"),
            "fault\\r\\n2026-01-01 [E] ClickATellService::SendSMS - Succesfully sent SMS");
  EXPECT_EQ(PeerText(std::string_view("a\0b\x1b\x7f\t\\", 7)), "a\\x00b\\x1b\\x7f\\t\\\\");
  EXPECT_EQ(PeerText("caf\xc3\xa9"), "caf\xc3\xa9");
  // A gzip answer, a lone continuation byte, an overlong '/', a surrogate, a
  // cut sequence: escaped, so the log stays valid UTF-8. A 4-byte one is kept.
  EXPECT_EQ(PeerText("\x1f\x8b\x08 \xc0\xaf \xed\xa0\x80 \xe2\x82 \xf0\x9f\x98\x80"),
            "\\x1f\\x8b\\x08 \\xc0\\xaf \\xed\\xa0\\x80 \\xe2\\x82 \xf0\x9f\x98\x80");
}

TEST(PeerText, LongTextIsCutWithItsLengthNoted) {
  std::string huge(50u << 20, 'x');
  std::string shown = PeerText(huge);
  EXPECT_EQ(shown, std::string(kPeerTextLogLimit, 'x') + "... (52428800 bytes)");
  // The cut never splits a UTF-8 sequence: "\xc3\xa9" straddles byte 4.
  EXPECT_EQ(PeerText("abc\xc3\xa9zz", 4), "abc... (7 bytes)");
  EXPECT_EQ(PeerText("abcd", 4), "abcd");
}

}  // namespace
}  // namespace talvenix
