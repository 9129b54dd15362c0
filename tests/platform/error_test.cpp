// SPDX-License-Identifier: Apache-2.0
#include "platform/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace talvenix::platform {
namespace {

// A failure that no system call reported (a pool not started, an item that
// could not be made) is still printed in errno's numbering: never 0, which
// reads as success, and never a Windows number such as 14, which reads as EFAULT.
TEST(Error, EveryFailurePrintsANumberOfThisPlatform) {
  EXPECT_EQ(Error(ErrorKind::kShutDown).system_code(), ESHUTDOWN);
  EXPECT_EQ(Error(ErrorKind::kNoMemory, 0).system_code(), ENOMEM);
  EXPECT_EQ(Error(ErrorKind::kFailed).system_code(), EIO);
  EXPECT_EQ(ErrorFromSystem(EMFILE).system_code(), EMFILE);  // the system's own number is kept
  EXPECT_EQ(kNoError.system_code(), 0);

  EXPECT_EQ(static_cast<uint32_t>(ErrorFromSystem(EACCES).Hresult()), 0x80070000u | EACCES);
  EXPECT_EQ(static_cast<uint32_t>(Error(ErrorKind::kInvalidArgument).Hresult()), 0x80070000u | EINVAL);
  EXPECT_EQ(kNoError.Hresult(), 0);
}

}  // namespace
}  // namespace talvenix::platform
