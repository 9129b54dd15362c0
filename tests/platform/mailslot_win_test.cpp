// SPDX-License-Identifier: Apache-2.0
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

// A reader that has stopped reading leaves its queue full (Wine's queue has a
// limit): a writer gives up after a while instead of waiting for ever.
TEST(MailslotOnWindows, AWriterGivesUpOnAQueueNobodyEmpties) {
  std::string name = "\\\\.\\mailslot\\talvenix-test\\full-" + std::to_string(std::random_device{}());
  MailslotReader reader;
  ASSERT_FALSE(reader.Create(name));
  MailslotWriter writer;
  ASSERT_FALSE(writer.Open(name));
  std::string chunk(4000, 'x');
  Error error;
  for (int i = 0; i < 2000 && !error; ++i) error = writer.Write(chunk.data(), chunk.size());
  if (error) {
    EXPECT_EQ(error, ErrorKind::kTryAgain) << error.system_code();
  }
}

}  // namespace
}  // namespace talvenix::platform
