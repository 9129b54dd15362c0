// SPDX-License-Identifier: Apache-2.0
// The log file shared by several processes: rotation by one writer at a time,
// and no line written into a file that rotation has passed.

#include "support/log_backend.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "platform/rotating_file.hpp"

namespace talvenix {
namespace {

namespace fs = std::filesystem;

void WriteLine(uintptr_t handle, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logbackend::Write(handle, 0, 0, format, args);
  va_end(args);
}

class SharedLog : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("talvenix-shared-log-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    path = (dir / "Talvenix.log").string();
  }
  void TearDown() override { fs::remove_all(dir); }

  fs::path dir;
  std::string path;
};

TEST_F(SharedLog, WritersInSeveralProcessesLoseOnlyTheOldestLinesAtRotation) {
  constexpr int kWriters = 4, kLines = 4000;
  constexpr uint64_t kLimit = 200 * 1024;  // every writer alone fills about two files
  const std::string filler(64, 'x');
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      uintptr_t handle = logbackend::Open("TALVEX", path.c_str(), 3, kLimit);
      for (int i = 0; i < kLines; ++i) WriteLine(handle, "writer %d line %d %s", w, i, filler.c_str());
      logbackend::Close(handle);
      _exit(handle ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  const std::regex line_pattern("^.* \\[TALVEX\\] \\[\\d+\\] writer (\\d) line (\\d+) x{64}$");
  std::map<int, std::set<int>> seen;
  uint64_t kept_bytes = 0, line_bytes = 0;
  int torn = 0, duplicates = 0;
  for (size_t index = 0; index <= 3; ++index) {
    std::string name = platform::RotatingFile::RotatedName(path, index);
    if (!fs::exists(name)) continue;
    uint64_t size = fs::file_size(name);
    kept_bytes += size;
    std::ifstream in(name);
    for (std::string line; std::getline(in, line);) {
      std::smatch m;
      if (!std::regex_match(line, m, line_pattern)) {
        ++torn;
        continue;
      }
      line_bytes = line.size() + 1;
      if (!seen[std::stoi(m[1])].insert(std::stoi(m[2])).second) ++duplicates;
    }
    EXPECT_LE(size, kLimit + kWriters * line_bytes) << name;  // a line or so per writer past the limit at most
  }
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(duplicates, 0);
  EXPECT_FALSE(fs::exists(platform::RotatingFile::RotatedName(path, 4)));
  // A writer that ran ahead of the others may have had all its lines rotated
  // out by theirs: that is the oldest lines going, not a loss.
  ASSERT_FALSE(seen.empty());
  for (auto& [writer, lines] : seen) {
    // What rotation dropped is each writer's oldest lines: the rest is whole, up to its last.
    SCOPED_TRACE("writer " + std::to_string(writer));
    EXPECT_EQ(*lines.rbegin(), kLines - 1);
    EXPECT_EQ(lines.size(), size_t(kLines - *lines.begin()));
  }
  EXPECT_GE(kept_bytes, 3 * kLimit);  // the three older files are full
}

TEST_F(SharedLog, ALogThatCannotBeCreatedIsReportedOnceOnStandardError) {
  std::string folder = (dir / "a-folder").string();
  fs::create_directories(folder);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(logbackend::Open("TALVEX", folder.c_str(), 1, 1024), 0u);
  EXPECT_EQ(logbackend::Open("TALVEX", folder.c_str(), 1, 1024), 0u);
  std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(said, "Talvenix: cannot create the log file " + folder + ": Is a directory; nothing will be logged.\n");
}

TEST(RotatingFileName, TheIndexGoesBeforeTheExtension) {
  EXPECT_EQ(platform::RotatingFile::RotatedName("Talvenix.log", 0), "Talvenix.log");
  EXPECT_EQ(platform::RotatingFile::RotatedName("dir/Talvenix.log", 2), "dir/Talvenix.2.log");
  EXPECT_EQ(platform::RotatingFile::RotatedName("a.b/log", 1), "a.b/log.1");
  EXPECT_EQ(platform::RotatingFile::RotatedName(".hidden", 1), ".hidden.1");
}

}  // namespace
}  // namespace talvenix
