// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/error.hpp"

namespace talvenix::platform {
namespace {

// Log lines print Windows numbers here, as the host's own tools expect: a
// failure of our own too, never an errno value (13 would read as "invalid data").
TEST(ErrorOnWindows, EveryFailurePrintsAWindowsNumberAndItsHresult) {
  EXPECT_EQ(Error(ErrorKind::kAccessDenied).system_code(), static_cast<int>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Error(ErrorKind::kNoMemory, 0).system_code(), static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(ErrorFromSystem(ERROR_SHARING_VIOLATION), ErrorKind::kBusy);
  EXPECT_EQ(ErrorFromSystem(ERROR_SHARING_VIOLATION).system_code(), static_cast<int>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(ErrorFromSystem(ERROR_PATH_NOT_FOUND), ErrorKind::kNotFound);
  EXPECT_EQ(static_cast<uint32_t>(ErrorFromSystem(ERROR_FILE_NOT_FOUND).Hresult()), 0x80070002u);
  EXPECT_EQ(kNoError.Hresult(), 0);
  SetLastError(ERROR_DISK_FULL);
  Error full = LastSystemError();
  EXPECT_EQ(full, ErrorKind::kNoSpace);
  std::string text = full.Describe();
  EXPECT_FALSE(text.empty());
  EXPECT_NE(text.back(), '\n');  // fits inside a log line
}

}  // namespace
}  // namespace talvenix::platform
