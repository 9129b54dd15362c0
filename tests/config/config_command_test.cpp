// SPDX-License-Identifier: Apache-2.0
// `talvenix config` as people run it, on a copy of the bundled file.

#include <sys/wait.h>

#include <cstdio>

#include "config_fixture.hpp"

namespace talvenix {
namespace {

using testing::TempFolder;

struct Result {
  int status;
  std::string output;  // stdout and stderr
};

Result Talvenix(const TempFolder& folder, const std::string& arguments) {
  std::string command =
      std::string(TALVENIX_BINARY_DIR) + "/bin/talvenix --dir " + folder.path().string() + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  Result result{-1, {}};
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class ConfigCommand : public ::testing::Test {
 protected:
  void SetUp() override { folder_.Write("qvsmscomms.xml", original_); }
  TempFolder folder_;
  std::string original_ = testing::DefaultConfiguration();
};

TEST_F(ConfigCommand, SetChangesOnlyThatAttributeAndShowReadsItBack) {
  Result set = Talvenix(folder_, "config set maxsmssplit 5");
  EXPECT_EQ(set.status, 0) << set.output;
  Result show = Talvenix(folder_, "config show");
  EXPECT_EQ(show.status, 0) << show.output;
  EXPECT_NE(show.output.find("maxsmssplit        5\n"), std::string::npos) << show.output;
  EXPECT_EQ(folder_.Read("qvsmscomms.xml"),
            testing::Replaced(original_, "name=\"maxsmssplit\" value=\"3\"", "name=\"maxsmssplit\" value=\"5\""));

  for (const char* bad : {"config set maxsmssplit -1", "config set splitsms maybe", "config set nosuch 1",
                          "config set selectedservice Nobody"}) {
    Result refused = Talvenix(folder_, bad);
    EXPECT_EQ(refused.status, 2) << bad << "\n" << refused.output;
  }
}

TEST_F(ConfigCommand, SetReportsAnOptionTheFileDoesNotHave) {
  folder_.Write("qvsmscomms.xml", testing::Replaced(original_, "<option name=\"detectsignature\" value=\"no\"/>", ""));
  Result set = Talvenix(folder_, "config set detectsignature yes");
  EXPECT_EQ(set.status, 1);
  EXPECT_NE(set.output.find("detectsignature is not in qvsmscomms.xml"), std::string::npos) << set.output;
}

TEST_F(ConfigCommand, CheckPointsAtTheLineOfEachProblem) {
  Result good = Talvenix(folder_, "config check");
  EXPECT_EQ(good.status, 0) << good.output;

  folder_.Write("qvsmscomms.xml", testing::Replaced(original_, "transport=\"nuldrv\"", "transport=\"fax\""));
  Result bad = Talvenix(folder_, "config check");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.output.find("qvsmscomms.xml:33: error: the selected service \"Null gateway\" has the unknown transport "
                            "id \"fax\""),
            std::string::npos)
      << bad.output;

  folder_.Write("qvsmscomms.xml", "<vantrelcomms>\n  <sms>\n");
  Result broken = Talvenix(folder_, "config check");
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.output.find("qvsmscomms.xml:2: error: not well-formed"), std::string::npos) << broken.output;
}

}  // namespace
}  // namespace talvenix
