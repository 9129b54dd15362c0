// SPDX-License-Identifier: Apache-2.0
// Whole-file saves and the lock that guards a load-change-save.

#include "platform/file.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/temp_folder.hpp"

namespace talvenix::platform {
namespace {

using namespace std::chrono_literals;

TEST(ReplaceFileContents, TheNewContentsTakeThePlaceWholeAndNothingIsLeftBeside) {
  testing::TempFolder temp("file");
  std::string path = temp.File("qvsmscomms.xml");
  ASSERT_FALSE(ReplaceFileContents(path, "first"));  // a new file
  EXPECT_EQ(temp.Read("qvsmscomms.xml"), "first");
  std::string big(1 << 20, 'x');
  ASSERT_FALSE(ReplaceFileContents(path, big));
  EXPECT_EQ(temp.Read("qvsmscomms.xml"), big);
  ASSERT_FALSE(ReplaceFileContents(path, ""));
  EXPECT_EQ(temp.Read("qvsmscomms.xml"), "");
  EXPECT_EQ(temp.CountEntries(), 1);

  {
    // The module names its document relative to the working folder.
    testing::WorkingFolder inside(temp.path());
    ASSERT_FALSE(ReplaceFileContents("qvsmscomms.xml", "relative"));
  }
  EXPECT_EQ(temp.Read("qvsmscomms.xml"), "relative");

  std::string step;
  EXPECT_TRUE(ReplaceFileContents(temp.File("no-such-folder/x.xml"), "y", &step));
  EXPECT_NE(step.find("cannot create a file beside"), std::string::npos) << step;
}

TEST(FileLock, OneHolderAtATimeAndTheFileGoesWithTheLastOne) {
  testing::TempFolder temp("lock");
  std::string lock_path = LockPathFor(temp.File("doc.xml"));
  EXPECT_EQ(lock_path, temp.File("doc.xml.lock"));
  FileLock first, second;
  ASSERT_FALSE(first.Acquire(lock_path, 0ms));
  EXPECT_EQ(second.Acquire(lock_path, 50ms), ErrorKind::kTimedOut);
  EXPECT_FALSE(second.IsHeld());

  // A waiter gets the lock as soon as the holder lets go, on a file that is
  // still the lock file (not the one the holder removed).
  std::thread release([&] {
    std::this_thread::sleep_for(50ms);
    first.Release();
  });
  EXPECT_FALSE(second.Acquire(lock_path, 5000ms));
  release.join();
  FileLock third;
  EXPECT_EQ(third.Acquire(lock_path, 0ms), ErrorKind::kTimedOut);
  second.Release();
  EXPECT_FALSE(std::filesystem::exists(lock_path));
  EXPECT_FALSE(third.Acquire(lock_path, 0ms));
}

}  // namespace
}  // namespace talvenix::platform
