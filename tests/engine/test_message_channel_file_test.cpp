#include <algorithm>
#include <filesystem>
#include <string>

#include "common/recording_logger.hpp"
#include "engine/test_message_file.hpp"
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
}

}  // namespace
}  // namespace talvenix::testing
