// SPDX-License-Identifier: Apache-2.0
// A save that fails at any step leaves the old file as it was and nothing beside it.

#include <gtest/gtest.h>

#include "common/system_call_faults.hpp"
#include "common/temp_folder.hpp"
#include "platform/file.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::platform {
namespace {

using talvenix::testing::FailNthCall;

TEST(ReplaceFileContentsOnWindows, AFailedFlushOrReplaceKeepsTheOldFile) {
  talvenix::testing::TempFolder temp("save");
  std::string path = temp.Write("qvsmscomms.xml", "old");
  std::string step;
  {
    FailNthCall<&SystemCalls::flush_file_buffers> fail(1, ERROR_DISK_FULL);
    EXPECT_EQ(ReplaceFileContents(path, "new", &step), ErrorKind::kNoSpace);
    EXPECT_TRUE(fail.fired());
  }
  EXPECT_EQ(step, "cannot write " + path);
  {
    FailNthCall<&SystemCalls::replace_file> fail(1, ERROR_UNABLE_TO_REMOVE_REPLACED);
    EXPECT_TRUE(ReplaceFileContents(path, "new", &step));
    EXPECT_TRUE(fail.fired());
  }
  EXPECT_EQ(step, "cannot replace " + path);
  EXPECT_EQ(temp.Read("qvsmscomms.xml"), "old");
  EXPECT_EQ(temp.CountEntries(), 1);
  {
    // The system removed the old file but could not rename the new one: the
    // new contents must still take the name, or the document is lost.
    FailNthCall<&SystemCalls::replace_file> fail(1, ERROR_UNABLE_TO_MOVE_REPLACEMENT);
    EXPECT_FALSE(ReplaceFileContents(path, "newer", &step));
  }
  EXPECT_EQ(temp.Read("qvsmscomms.xml"), "newer");
  EXPECT_EQ(temp.CountEntries(), 1);
  // A save keeps the file's attributes and never leaves the temporary's hidden mark.
  ASSERT_TRUE(SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_ARCHIVE));
  ASSERT_FALSE(ReplaceFileContents(path, "new"));
  EXPECT_EQ(temp.Read("qvsmscomms.xml"), "new");
  EXPECT_EQ(GetFileAttributesW(Wide(path).c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
            static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
}

}  // namespace
}  // namespace talvenix::platform
