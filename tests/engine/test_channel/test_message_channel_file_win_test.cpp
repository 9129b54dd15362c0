// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include <string>

#include "common/recording_logger.hpp"
#include "common/system_call_faults.hpp"
#include "engine/test_channel/test_message_file.hpp"
#include "test_message_channel_fixture.hpp"

namespace talvenix::testing {
namespace {

class TestMessageFileOnWindows : public ChannelFixture {
 protected:
  RecordingLogger log_;
};

TEST_F(TestMessageFileOnWindows, AFailedMoveLeavesNothingBehind) {
  TalvexTestRequest request = Request();
  FailNthCall<&platform::SystemCalls::move_file> move_fails(1, ERROR_NOT_SAME_DEVICE);
  EXPECT_EQ(WriteTestMessageFile(&log_, OutgoingFolder(), request), TALVEX_FAILED);
  EXPECT_TRUE(move_fails.fired());
  EXPECT_TRUE(OutgoingFiles().empty());
}

}  // namespace
}  // namespace talvenix::testing
