// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/temp_folder.hpp"
#include "platform/mailslot.hpp"

namespace talvenix::platform {
namespace {

constexpr const char* kName = "\\\\.\\mailslot\\Maker\\Product\\slot";

// Mailslots of this test live in a runtime folder of their own.
class MailslotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    if (old) saved_ = old;
    setenv("XDG_RUNTIME_DIR", temp_.path().c_str(), 1);
  }
  void TearDown() override {
    if (saved_.empty())
      unsetenv("XDG_RUNTIME_DIR");
    else
      setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
  }
  std::string Folder() const { return temp_.path().string() + "/talvenix"; }

  testing::TempFolder temp_{"mailslot"};
  std::string saved_;
};

TEST_F(MailslotTest, NamesMapToSocketsInThePrivateFolder) {
  std::string path;
  ASSERT_EQ(MailslotPath(kName, path).system_code(), 0);
  EXPECT_EQ(path, Folder() + "/Maker.Product.slot");
  ASSERT_EQ(MailslotPath("\\\\.\\MAILSLOT\\a", path).system_code(), 0);  // the prefix in any case
  EXPECT_EQ(path, Folder() + "/a");
  struct stat st {};
  ASSERT_EQ(stat(Folder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  for (const char* bad : {"slot", "\\\\server\\mailslot\\a", "\\\\.\\mailslot\\", "\\\\.\\mailslot\\a\\\\b",
                          "\\\\.\\mailslot\\..", "\\\\.\\mailslot\\a/b", "\\\\.\\mailslot\\a\\"})
    EXPECT_EQ(MailslotPath(bad, path).system_code(), EINVAL) << bad;
  EXPECT_EQ(MailslotPath(std::string("\\\\.\\mailslot\\") + std::string(200, 'x'), path).system_code(), ENAMETOOLONG);
}

TEST_F(MailslotTest, AnOpenRuntimeFolderIsClosedToOthersBeforeUse) {
  std::filesystem::create_directories(Folder());
  chmod(Folder().c_str(), 0777);
  std::string folder;
  ASSERT_EQ(PrivateRuntimeFolder(folder).system_code(), 0);
  struct stat st {};
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(MailslotTest, MessagesKeepTheirBoundariesAndOrder) {
  MailslotReader reader;
  ASSERT_EQ(reader.Create(kName).system_code(), 0);
  MailslotWriter writer;
  ASSERT_EQ(writer.Open(kName).system_code(), 0);
  ASSERT_EQ(writer.Write("first", 6).system_code(), 0);
  ASSERT_EQ(writer.Write("", 0).system_code(), 0);
  ASSERT_EQ(writer.Write("third", 6).system_code(), 0);
  char buffer[32];
  EXPECT_EQ(recv(reader.fd(), buffer, sizeof buffer, 0), 6);
  EXPECT_STREQ(buffer, "first");
  EXPECT_EQ(recv(reader.fd(), buffer, sizeof buffer, 0), 0);
  EXPECT_EQ(recv(reader.fd(), buffer, sizeof buffer, 0), 6);
  EXPECT_STREQ(buffer, "third");
}

TEST_F(MailslotTest, OneReaderPerNameAndNoWriterWithoutReader) {
  MailslotWriter writer;
  EXPECT_EQ(writer.Open(kName).system_code(), ENOENT);
  MailslotReader reader;
  ASSERT_EQ(reader.Create(kName).system_code(), 0);
  MailslotReader second;
  EXPECT_EQ(second.Create(kName).system_code(), EADDRINUSE);
  ASSERT_EQ(writer.Open(kName).system_code(), 0);
  reader.Close();
  EXPECT_FALSE(std::filesystem::exists(Folder() + "/Maker.Product.slot"));
  EXPECT_NE(writer.Write("late", 5).system_code(), 0);  // the reader has gone
  MailslotWriter another;
  EXPECT_EQ(another.Open(kName).system_code(), ENOENT);
}

TEST_F(MailslotTest, ASocketFileLeftByADeadReaderIsReplaced) {
  std::string path;
  ASSERT_EQ(MailslotPath(kName, path).system_code(), 0);
  {
    // Bind and close without removing the file, as a crashed reader would.
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
  }
  MailslotReader reader;
  ASSERT_EQ(reader.Create(kName).system_code(), 0);
  MailslotWriter writer;
  ASSERT_EQ(writer.Open(kName).system_code(), 0);
  EXPECT_EQ(writer.Write("x", 2).system_code(), 0);
}

}  // namespace
}  // namespace talvenix::platform
