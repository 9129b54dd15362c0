#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/temp_folder.hpp"
#include "engine/test_channel/text_writer.hpp"

namespace talvenix {
namespace {

class TextWriterTest : public ::testing::Test {
 protected:
  int Open() {
    fd_ = open((temp_.path() / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    return fd_;
  }
  std::string Bytes() {
    close(fd_);
    fd_ = -1;
    return temp_.Read("out.txt");
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
  }
  testing::TempFolder temp_{"text-writer"};
  int fd_ = -1;
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

  int read_only = open((temp_.path() / "out.txt").c_str(), O_RDONLY);
  CTextWriter writer(read_only);
  ASSERT_FALSE(writer.Initialize(kCodePageUtf8));
  EXPECT_EQ(writer.Write(u"x", 1).kind(), platform::ErrorKind::kInvalidArgument);  // not open for writing
  close(read_only);
}

}  // namespace
}  // namespace talvenix
