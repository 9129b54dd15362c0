// SPDX-License-Identifier: Apache-2.0
#include <string>

#include "common/recording_logger.hpp"
#include "common/system_call_faults.hpp"
#include "engine/test_channel/test_message_file.hpp"
#include "platform/dynamic_library.hpp"
#include "test_message_channel_fixture.hpp"

namespace talvenix::testing {
namespace {

class TestMessageFileOnPosix : public ChannelFixture {
 protected:
  RecordingLogger log_;
};

TEST_F(TestMessageFileOnPosix, AMalformedSettingsFileIsLoggedAndTheDefaultFolderUsed) {
  std::string settings = temp_.Write("bad.ini",
                                     "[SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\E2FG]\n"
                                     "outdir = /srv/out\ngarbage\n");
  setenv("TALVENIX_HOST_SETTINGS", settings.c_str(), 1);
  EXPECT_EQ(TestMessageFolder(&log_),
            platform::DynamicLibrary::FolderOf(reinterpret_cast<const void*>(&TestMessageFolder)) + "/out/sms/");
  EXPECT_TRUE(log_.Has(Severity::Warning, "TestMessageFolder - Host settings " + settings +
                                              " malformed at line 3, using the default folder."));
}

TEST_F(TestMessageFileOnPosix, AFailedRenameLeavesNothingBehind) {
  TalvexTestRequest request = Request();
  FailNthCall<&platform::SystemCalls::rename> rename_fails(1, EXDEV);
  EXPECT_EQ(WriteTestMessageFile(&log_, OutgoingFolder(), request), TALVEX_FAILED);
  EXPECT_TRUE(rename_fails.fired());
  EXPECT_TRUE(OutgoingFiles().empty());
}

}  // namespace
}  // namespace talvenix::testing
