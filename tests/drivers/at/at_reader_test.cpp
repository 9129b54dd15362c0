// SPDX-License-Identifier: Apache-2.0
// The response reader: modem output cut into arbitrary pieces.

#include <gtest/gtest.h>

#include "drivers/at/at_reader.hpp"

namespace talvenix::at {
namespace {

using K = AtEvent::Kind;

std::vector<AtEvent> ReadAll(const std::vector<std::string>& pieces) {
  AtReader reader;
  std::vector<AtEvent> events;
  for (const std::string& p : pieces) {
    reader.Feed(p);
    AtEvent e;
    while (reader.Next(e)) events.push_back(e);
  }
  return events;
}

TEST(AtReader, AnswersPromptsAndErrorsInAnyPieces) {
  auto e = ReadAll({"ATE0\r", "\r\nO", "K\r\n", "\r\n+CPIN: READY\r\n\r\nOK\r\n", "\r\n>", " ", "\r\n+CMS ERR",
                    "OR: 500\r\n", "\r\n+CME ERROR: 10\r\nERROR\r\n"});
  ASSERT_EQ(e.size(), 8u);
  EXPECT_EQ(e[0].kind, K::kLine);
  EXPECT_EQ(e[0].text, "ATE0");
  EXPECT_EQ(e[1].kind, K::kOk);
  EXPECT_EQ(e[2].text, "+CPIN: READY");
  EXPECT_EQ(e[4].kind, K::kPrompt);
  EXPECT_EQ(e[5].kind, K::kError);
  EXPECT_TRUE(e[5].cms);
  EXPECT_EQ(e[5].code, 500);
  EXPECT_FALSE(e[6].cms);
  EXPECT_EQ(e[6].code, 10);
  EXPECT_EQ(e[7].code, -1);
  EXPECT_STREQ(CmsErrorText(500), "unknown error");
  EXPECT_STREQ(CmsErrorText(330), "SMSC address unknown");
}

TEST(AtReader, UnsolicitedIndicationsAmidAnAnswer) {
  auto e = ReadAll({"\r\n+CMGS: 17\r\n\r\n+CMTI: \"SM\",3\r\n", "\r\n+CMT: ,24\r\n", "0791AB\r\n",
                    "\r\n+CDS: 25\r\n06000B9102\r\n\r\n+CDSI: \"SR\",12\r\n\r\nOK\r\n"});
  ASSERT_EQ(e.size(), 6u);
  EXPECT_EQ(e[0].text, "+CMGS: 17");
  EXPECT_EQ(e[1].kind, K::kNewMessage);
  EXPECT_EQ(e[1].text, "SM");
  EXPECT_EQ(e[1].code, 3);
  EXPECT_EQ(e[2].kind, K::kMessage);
  EXPECT_EQ(e[2].length, 24);
  EXPECT_EQ(e[2].text, "0791AB");
  EXPECT_EQ(e[3].kind, K::kReport);
  EXPECT_EQ(e[3].text, "06000B9102");
  EXPECT_EQ(e[4].kind, K::kNewReport);
  EXPECT_EQ(e[4].code, 12);
  EXPECT_EQ(e[5].kind, K::kOk);
}

// Status codes and restart banners are told apart from answers wherever
// they come, also between +CMT: and its PDU; a prompt may lack its blank.
TEST(AtReader, StatusCodesBannersAndABarePrompt) {
  auto e = ReadAll({"\r\n+CMT: ,24\r\n^RSSI:15\r\n0791AB\r\n", "\r\nRDY\r\n\r\n+CREG: 1\r\n\r\n>", "+CMGS: 4\r\n"});
  ASSERT_EQ(e.size(), 6u);
  EXPECT_EQ(e[0].kind, K::kUnsolicited);
  EXPECT_EQ(e[1].kind, K::kMessage);
  EXPECT_EQ(e[1].text, "0791AB");
  EXPECT_EQ(e[2].kind, K::kRestart);
  EXPECT_EQ(e[3].kind, K::kUnsolicited);
  EXPECT_EQ(e[3].text, "+CREG: 1");
  EXPECT_EQ(e[4].kind, K::kPrompt);
  EXPECT_EQ(e[5].text, "+CMGS: 4");
}

TEST(AtReader, GarbageNeverGrowsWithoutBound) {
  AtReader reader;
  reader.Feed(std::string(100000, 'x'));
  reader.Feed("\r\n+CMTI: \"SM\",zz\r\n");
  AtEvent e;
  ASSERT_TRUE(reader.Next(e));
  EXPECT_EQ(e.text.size(), AtReader::kMaxLine);
  ASSERT_TRUE(reader.Next(e));
  EXPECT_EQ(e.kind, K::kNewMessage);
  EXPECT_EQ(e.code, -1);
  EXPECT_FALSE(reader.Next(e));
}

}  // namespace
}  // namespace talvenix::at
