#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "common/recording_logger.hpp"
#include "common/system_call_faults.hpp"
#include "engine/test_channel/test_message_file.hpp"
#include "platform/dynamic_library.hpp"
#include "test_message_channel_fixture.hpp"

namespace talvenix::testing {
namespace {

class TestMessageFile : public ChannelFixture {
 protected:
  std::string Folder() { return Outgoing().string() + "/"; }
  std::string DefaultFolder() {
    return platform::DynamicLibrary::FolderOf(reinterpret_cast<const void*>(&TestMessageFolder)) + "/out/sms/";
  }
  RecordingLogger log_;
};

TEST_F(TestMessageFile, FolderComesFromTheHostSettingsElseBesideTheModule) {
  EXPECT_EQ(TestMessageFolder(&log_), Folder());
  WriteSettings("[SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\E2FG]\noutdir = /srv/spool/out//\n");
  EXPECT_EQ(TestMessageFolder(&log_), "/srv/spool/out/sms/");
  WriteSettings("[SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\E2FG]\noutdir =\n");
  EXPECT_EQ(TestMessageFolder(&log_), DefaultFolder());
  std::filesystem::remove(temp_.path() / "host.ini");
  EXPECT_EQ(TestMessageFolder(&log_), DefaultFolder());
  EXPECT_TRUE(log_.lines().empty());  // a missing file is normal

  WriteSettings("[SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\E2FG]\noutdir = /srv/out\ngarbage\n");
  EXPECT_EQ(TestMessageFolder(&log_), DefaultFolder());
  EXPECT_TRUE(log_.Has(Severity::Warning, "TestMessageFolder - Host settings " + (temp_.path() / "host.ini").string() +
                                              " malformed at line 3, using the default folder."));
}

TEST_F(TestMessageFile, FullFieldsAreReadToTheirEndAndTheNumberIsCut) {
  TalvexTestRequest request = Request(std::string(80, '7').c_str());
  std::fill(std::begin(request.body), std::end(request.body), u'b');  // no NUL anywhere
  std::fill(std::begin(request.subject), std::end(request.subject), u's');
  ASSERT_EQ(WriteTestMessageFile(&log_, Folder(), request), TALVEX_OK);
  auto files = OutgoingFiles();
  ASSERT_EQ(files.size(), 1u);
  std::string job = temp_.Read("out/sms/" + files[0]);
  EXPECT_NE(job.find("Recipient-Number: " + std::string(63, '7') + "\n"), std::string::npos);
  EXPECT_NE(job.find("Subject: " + std::string(512, 's') + "\n"), std::string::npos);
  EXPECT_NE(job.find("Body-Bytes: 800\n\n" + std::string(800, 'b')), std::string::npos);
}

TEST_F(TestMessageFile, FailuresLeaveNothingBehind) {
  TalvexTestRequest request = Request("");  // no recipient: nothing the sender could do
  EXPECT_EQ(WriteTestMessageFile(&log_, Folder(), request), TALVEX_FAILED);
  EXPECT_TRUE(OutgoingFiles().empty());

  request = Request();
  std::string missing = (temp_.path() / "nowhere").string() + "/";
  EXPECT_EQ(WriteTestMessageFile(&log_, missing, request), TALVEX_FAILED);
  EXPECT_TRUE(log_.Has(Severity::Error, "WriteTestMessageFile - Failed to create a file in " + missing +
                                            " [erc: " + std::to_string(ENOENT) + "]"));

  request = Request();
  FailNthCall<&platform::SystemCalls::rename> rename_fails(1, EXDEV);
  EXPECT_EQ(WriteTestMessageFile(&log_, Folder(), request), TALVEX_FAILED);
  EXPECT_TRUE(rename_fails.fired());
  EXPECT_TRUE(OutgoingFiles().empty());
}

TEST_F(TestMessageFile, AKilledJobLeavesNoJobAndItsPartsGoAtALaterOne) {
  TalvexTestRequest request = Request();
  // The child dies while writing the body, as a killed host would.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::g_system_calls.write = [](int, const void*, size_t) -> ssize_t { _exit(0); };
    WriteTestMessageFile(&log_, Folder(), request);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::vector<std::string> left = OutgoingFiles();
  ASSERT_FALSE(left.empty());
  for (const std::string& name : left) {
    EXPECT_EQ(name[0], '.') << name << ": the host's sender must never see it";
    timeval old[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
    utimes((Outgoing() / name).c_str(), old);
  }

  ASSERT_EQ(WriteTestMessageFile(&log_, Folder(), request), TALVEX_OK);
  std::vector<std::string> now = OutgoingFiles();
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].substr(0, 7), "testsms");
  EXPECT_EQ(now[0].substr(now[0].size() - 4), ".sqv");
}

}  // namespace
}  // namespace talvenix::testing
