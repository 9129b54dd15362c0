// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "common/recording_logger.hpp"
#include "engine/test_channel/test_message_file.hpp"
#include "platform/dynamic_library.hpp"
#include "test_message_channel_fixture.hpp"

namespace talvenix::testing {
namespace {

constexpr char kSep = platform::kFolderSeparator;

class TestMessageFile : public ChannelFixture {
 protected:
  std::string DefaultFolder() {
    return platform::DynamicLibrary::FolderOf(reinterpret_cast<const void*>(&TestMessageFolder)) + kSep + "out" + kSep +
           "sms" + kSep;
  }
  RecordingLogger log_;
};

TEST_F(TestMessageFile, FolderComesFromTheHostSettingsElseBesideTheModule) {
  EXPECT_EQ(TestMessageFolder(&log_), OutgoingFolder());
  std::string spool = (temp_.path() / "spool").string();
  host_.SetOutgoingFolder(spool + kSep + kSep);
  EXPECT_EQ(TestMessageFolder(&log_), spool + kSep + "sms" + kSep);
  host_.SetOutgoingFolder(spool + "/");  // '/' is a separator everywhere
  EXPECT_EQ(TestMessageFolder(&log_), spool + kSep + "sms" + kSep);
  host_.SetOutgoingFolder("");
  EXPECT_EQ(TestMessageFolder(&log_), DefaultFolder());
  host_.RemoveSettings();
  EXPECT_EQ(TestMessageFolder(&log_), DefaultFolder());
  EXPECT_TRUE(log_.lines().empty());  // missing settings are normal
}

TEST_F(TestMessageFile, FullFieldsAreReadToTheirEndAndTheNumberIsCut) {
  TalvexTestRequest request = Request(std::string(80, '7').c_str());
  std::fill(std::begin(request.body), std::end(request.body), u'b');  // no NUL anywhere
  std::fill(std::begin(request.subject), std::end(request.subject), u's');
  ASSERT_EQ(WriteTestMessageFile(&log_, OutgoingFolder(), request), TALVEX_OK);
  auto files = OutgoingFiles();
  ASSERT_EQ(files.size(), 1u);
  std::string job = temp_.Read("out/sms/" + files[0]);
  EXPECT_NE(job.find("Recipient-Number: " + std::string(63, '7') + "\n"), std::string::npos);
  EXPECT_NE(job.find("Subject: " + std::string(512, 's') + "\n"), std::string::npos);
  EXPECT_NE(job.find("Body-Bytes: 800\n\n" + std::string(800, 'b')), std::string::npos);
}

TEST_F(TestMessageFile, FailuresLeaveNothingBehind) {
  TalvexTestRequest request = Request("");  // no recipient: nothing the sender could do
  EXPECT_EQ(WriteTestMessageFile(&log_, OutgoingFolder(), request), TALVEX_FAILED);
  EXPECT_TRUE(OutgoingFiles().empty());

  request = Request();
  std::string missing = (temp_.path() / "nowhere").string() + kSep;
  EXPECT_EQ(WriteTestMessageFile(&log_, missing, request), TALVEX_FAILED);
  EXPECT_TRUE(log_.Has(Severity::Error, "WriteTestMessageFile - Failed to create a file in " + missing +
                                            " [erc: " + std::to_string(kNoSuchFolderError) + "]"));
}

// The child (forked, or on Windows this program started again up to the
// statement) inherits the parent's folder through the environment and makes
// nothing of its own.
TEST(TestMessageFileKilled, AKilledJobLeavesNoJobAndItsPartsGoAtALaterOne) {
  constexpr const char* kInherited = "TALVENIX_TEST_KILLED_JOB_FOLDER";
  std::optional<TempFolder> temp;
  std::string folder;
  if (const char* inherited = std::getenv(kInherited); inherited && *inherited) {
    folder = inherited;
  } else {
    temp.emplace("killed-job");
    folder = temp->path().string() + kSep;
    setenv(kInherited, folder.c_str(), 1);
  }
  TalvexTestRequest request{};
  std::snprintf(request.recipient, sizeof request.recipient, "+15550100");
  request.body[0] = u'x';
  RecordingLogger log;
  // The child dies while writing the body, as a killed host would.
  EXPECT_EXIT(
      {
        DieAtTheNextFileWrite();
        WriteTestMessageFile(&log, folder, request);
        std::_Exit(1);
      },
      ::testing::ExitedWithCode(kKilledExitCode), "");
  unsetenv(kInherited);
  ASSERT_TRUE(temp);
  std::vector<std::filesystem::path> left;
  for (const auto& entry : std::filesystem::directory_iterator(temp->path())) left.push_back(entry.path());
  ASSERT_FALSE(left.empty());
  for (const auto& path : left) {
    EXPECT_EQ(path.filename().string()[0], '.') << path << ": the host's sender must never see it";
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - std::chrono::minutes(2));
  }

  ASSERT_EQ(WriteTestMessageFile(&log, folder, request), TALVEX_OK);
  std::vector<std::string> now;
  for (const auto& entry : std::filesystem::directory_iterator(temp->path()))
    now.push_back(entry.path().filename().string());
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].substr(0, 7), "testsms");
  EXPECT_EQ(now[0].substr(now[0].size() - 4), ".sqv");
}

}  // namespace
}  // namespace talvenix::testing
