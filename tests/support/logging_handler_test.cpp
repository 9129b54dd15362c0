// SPDX-License-Identifier: Apache-2.0
// The module's logger writing a real file through the backend.

#include "support/logging_handler.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace talvenix {
namespace {

namespace fs = std::filesystem;

class LoggingHandlerFile : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("TALVENIX_LOG_LEVEL");
    dir = fs::temp_directory_path() / ("talvenix-log-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    path = (dir / "Talvenix.log").string();
  }
  void TearDown() override {
    logger.Close();
    fs::remove_all(dir);
  }
  std::string Contents(const std::string& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  fs::path dir;
  std::string path;
  CLoggingHandler logger;
};

TEST_F(LoggingHandlerFile, LevelOneRecordsErrorsOnlyWithTagAndSeverity) {
  logger.Error("before open");  // dropped silently
  logger.Open(path.c_str(), "TALVEX", 1);
  logger.Info("info %d", 1);
  logger.Warn("warn %d", 2);
  logger.Error("GSMEngine::SendSMS - failed. [qverc: %d]", 41);
  logger.ErrorW(u"wide %s and %S", u"\u00e9", "narrow");
  logger.Close();
  logger.Error("after close");
  std::string text = Contents(path);
  EXPECT_EQ(text.find("before open"), std::string::npos);
  EXPECT_EQ(text.find("info 1"), std::string::npos);
  EXPECT_EQ(text.find("warn 2"), std::string::npos);
  EXPECT_EQ(text.find("after close"), std::string::npos);
  EXPECT_NE(text.find("[TALVEX]"), std::string::npos);
  EXPECT_NE(text.find("error"), std::string::npos);
  EXPECT_NE(text.find("GSMEngine::SendSMS - failed. [qverc: 41]"), std::string::npos);
  EXPECT_NE(text.find("wide \xc3\xa9 and narrow"), std::string::npos);
}

TEST_F(LoggingHandlerFile, SecondOpenKeepsTheFirstLogAndBadLevelsBecomeOne) {
  logger.Open(path.c_str(), "TALVEX", 7);
  std::string other = (dir / "other.log").string();
  logger.Open(other.c_str(), "TALVEX", 3);
  logger.Warn("not at level one");
  logger.Error("kept");
  logger.Close();
  EXPECT_NE(Contents(path).find("kept"), std::string::npos);
  EXPECT_EQ(Contents(path).find("not at level one"), std::string::npos);
  EXPECT_FALSE(fs::exists(other));
}

TEST_F(LoggingHandlerFile, EnvironmentOverridesTheLevel) {
  setenv("TALVENIX_LOG_LEVEL", "3", 1);
  logger.Open(path.c_str(), "TALVEX", 1);
  logger.InfoW(u"detail %d", 3);
  logger.Close();
  unsetenv("TALVENIX_LOG_LEVEL");
  EXPECT_NE(Contents(path).find("detail 3"), std::string::npos);
}

TEST_F(LoggingHandlerFile, UnwritableFolderNeverFailsTheCaller) {
  fs::create_directories(dir / "ro");
  logger.Open((dir / "ro").string().c_str(), "TALVEX", 1);  // a folder, not a file
  logger.Error("into nothing %s", "ok");                    // dropped; must neither throw nor crash
  logger.Close();
  EXPECT_TRUE(fs::is_directory(dir / "ro"));
}

}  // namespace
}  // namespace talvenix
