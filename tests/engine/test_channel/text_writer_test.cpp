// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>

#include "common/temp_folder.hpp"
#include "engine/test_channel/text_writer.hpp"
#include "platform/file.hpp"

namespace talvenix {
namespace {

class TextWriterTest : public ::testing::Test {
 protected:
  platform::NativeHandle Open() {
    EXPECT_FALSE(file_.CreateNew(temp_.File("out.txt")));
    return file_.fd();
  }
  std::string Bytes() {
    EXPECT_FALSE(file_.Close());
    return temp_.Read("out.txt");
  }
  testing::TempFolder temp_{"text-writer"};
  platform::File file_;
};

TEST_F(TextWriterTest, Utf16LittleEndianWithTheMarkOnlyOnce) {
  CTextWriter writer(Open());
  ASSERT_FALSE(writer.Initialize(kCodePageUtf16));
  ASSERT_FALSE(writer.Write(u"A\u00e9", CTextWriter::kUpToNul));
  ASSERT_FALSE(writer.Write(u"\U0001F600xyz", 2));  // a count bounds the text
  EXPECT_EQ(Bytes(), std::string("\xFF\xFE"
                                 "A\0\xE9\0"
                                 "\x3D\xD8\x00\xDE",
                                 10));
}

TEST_F(TextWriterTest, Utf8WithItsMarkAndLines) {
  CTextWriter writer(Open());
  ASSERT_FALSE(writer.Initialize(kCodePageUtf8));
  ASSERT_FALSE(writer.WriteLine(u"\u00e9t\u00e9", CTextWriter::kUpToNul));
  ASSERT_FALSE(writer.WriteLine(u"", 0));
  EXPECT_EQ(Bytes(), "\xEF\xBB\xBF\xC3\xA9t\xC3\xA9\r\n\r\n");
}

TEST_F(TextWriterTest, EightBitCodePageHasNoMark) {
  CTextWriter writer(Open());
  ASSERT_FALSE(writer.Initialize(kCodePageAnsi));
  ASSERT_FALSE(writer.Write(u"plain", CTextWriter::kUpToNul));
  EXPECT_EQ(Bytes(), "plain");
}

TEST_F(TextWriterTest, FailuresSayWhatWentWrong) {
  CTextWriter unready(Open());
  EXPECT_EQ(unready.Write(u"x", 1).kind(), platform::ErrorKind::kShutDown);
  EXPECT_EQ(unready.Initialize(1252).kind(), platform::ErrorKind::kNotSupported);
  ASSERT_FALSE(unready.Initialize(kCodePageUtf16));
  EXPECT_EQ(unready.Write(nullptr, 1).kind(), platform::ErrorKind::kInvalidArgument);

  Bytes();
  platform::File read_only;
  ASSERT_FALSE(read_only.OpenForReading(temp_.File("out.txt")));
  CTextWriter writer(read_only.fd());
  ASSERT_FALSE(writer.Initialize(kCodePageUtf8));
  platform::Error error = writer.Write(u"x", 1);  // not open for writing
  EXPECT_TRUE(error == platform::ErrorKind::kInvalidArgument || error == platform::ErrorKind::kAccessDenied)
      << error.system_code();
  EXPECT_EQ(temp_.Read("out.txt"), "");
}

}  // namespace
}  // namespace talvenix
