// The system's mailslots: one reader per name, and no writer without a reader.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/mailslot.hpp"

namespace talvenix::platform {
namespace {

TEST(MailslotOnWindows, OneReaderPerNameAndNoWriterWithoutReader) {
  std::string name = "\\\\.\\mailslot\\talvenix-test\\slot-" + std::to_string(std::random_device{}());
  MailslotWriter writer;
  EXPECT_EQ(writer.Open(name), ErrorKind::kNotFound);
  MailslotReader reader;
  ASSERT_FALSE(reader.Create(name));
  MailslotReader second;
  EXPECT_EQ(second.Create(name), ErrorKind::kExists);
  ASSERT_FALSE(writer.Open(name));
  EXPECT_FALSE(writer.Write("x", 2));
  MailslotWriter second_writer;
  EXPECT_FALSE(second_writer.Open(name));  // writers share the name
  second_writer.Close();
  writer.Close();
  reader.Close();
  MailslotWriter another;
  EXPECT_EQ(another.Open(name), ErrorKind::kNotFound);

  for (const char* bad : {"slot", "\\\\server\\mailslot\\a", "\\\\.\\mailslot\\", "\\\\.\\mailslot\\a\\\\b",
                          "\\\\.\\mailslot\\..", "\\\\.\\mailslot\\a/b"})
    EXPECT_EQ(reader.Create(bad), ErrorKind::kInvalidArgument) << bad;
  std::string path;
  EXPECT_FALSE(MailslotPath("\\\\.\\MAILSLOT\\a", path));  // the prefix in any case
  EXPECT_EQ(path, "\\\\.\\MAILSLOT\\a");
}

}  // namespace
}  // namespace talvenix::platform
