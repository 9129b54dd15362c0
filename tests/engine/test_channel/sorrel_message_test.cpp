// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "common/temp_folder.hpp"
#include "engine/test_channel/sorrel_message.hpp"

namespace talvenix {
namespace {

class SorrelMessageTest : public ::testing::Test {
 protected:
  std::string Path(const char* name) { return (temp_.path() / name).string(); }
  SorrelRecipientInfo Recipient(const char* number) {
    SorrelRecipientInfo r;
    std::strncpy(r.number, number, sizeof r.number - 1);
    r.type = 2;
    return r;
  }
  testing::TempFolder temp_{"sorrel"};
};

TEST_F(SorrelMessageTest, WritesTheDocumentedFormat) {
  temp_.Write("body.bdy", std::string("\xFF\xFE"
                                      "H\0i\0\x3D\xD8\x00\xDE",
                                      10));  // UTF-16LE "Hi😀"
  CSorrelMessage message;
  ASSERT_TRUE(message.Create(Path("job.temp").c_str()));
  message.SetFlags(message.GetFlags() | 0x40);
  message.SetSubject(u"Line one\nline\\two");
  message.SetSenderInfo(SorrelSenderInfo{u"Ops", u"", u""});
  message.SetFaxLine(3);
  ASSERT_TRUE(message.RecipAdd(nullptr, Recipient("+15550100")));
  ASSERT_TRUE(message.RecipAdd(u"B\u00f6b", Recipient("+15550101")));
  ASSERT_TRUE(message.SetBodyFile(Path("body.bdy").c_str()));
  ASSERT_TRUE(message.Close());
  EXPECT_EQ(temp_.Read("job.temp"),
            "TALVENIX-MESSAGE 1\n"
            "Flags: 0x00000040\n"
            "Subject: Line one\\nline\\\\two\n"
            "Sender-Name: Ops\n"
            "Sender-Company: \n"
            "Sender-Number: \n"
            "Line: 3\n"
            "Recipient-Name: \n"
            "Recipient-Number: +15550100\n"
            "Recipient-Type: 2\n"
            "Recipient-Name: B\xC3\xB6"
            "b\n"
            "Recipient-Number: +15550101\n"
            "Recipient-Type: 2\n"
            "Body-Bytes: 6\n"
            "\n"
            "Hi\xF0\x9F\x98\x80");
}

TEST_F(SorrelMessageTest, BodyFilesInUtf8WithOrWithoutMark) {
  for (const std::string& bytes : {std::string("\xEF\xBB\xBFZ\xC3\xBC"
                                               "rich"),
                                   std::string("Z\xC3\xBCrich")}) {
    std::filesystem::remove(Path("m.temp"));
    temp_.Write("body.bdy", bytes);
    CSorrelMessage message;
    ASSERT_TRUE(message.Create(Path("m.temp").c_str()));
    ASSERT_TRUE(message.RecipAdd(nullptr, Recipient("1")));
    ASSERT_TRUE(message.SetBodyFile(Path("body.bdy").c_str()));
    ASSERT_TRUE(message.Close());
    std::string text = temp_.Read("m.temp");
    EXPECT_EQ(text.substr(text.size() - 7), "Z\xC3\xBCrich");
  }
}

TEST_F(SorrelMessageTest, AnUnfinishedMessageLeavesNoFile) {
  temp_.Write("taken.temp", "someone else's");
  CSorrelMessage clash;
  EXPECT_FALSE(clash.Create(Path("taken.temp").c_str()));
  EXPECT_EQ(clash.last_error().kind(), platform::ErrorKind::kExists);
  EXPECT_EQ(temp_.Read("taken.temp"), "someone else's");  // untouched

  {
    CSorrelMessage message;
    ASSERT_TRUE(message.Create(Path("half.temp").c_str()));
    ASSERT_TRUE(message.RecipAdd(nullptr, Recipient("1")));
    EXPECT_FALSE(message.SetBodyFile(Path("no-body.bdy").c_str()));
    EXPECT_EQ(message.last_error().kind(), platform::ErrorKind::kNotFound);
    EXPECT_FALSE(message.Close());  // no body: nothing the sender could use
    EXPECT_TRUE(std::filesystem::exists(Path("half.temp")));
  }
  EXPECT_FALSE(std::filesystem::exists(Path("half.temp")));

  CSorrelMessage no_recipient;
  ASSERT_TRUE(no_recipient.Create(Path("r.temp").c_str()));
  EXPECT_FALSE(no_recipient.RecipAdd(nullptr, Recipient("")));
}

}  // namespace
}  // namespace talvenix
