// SPDX-License-Identifier: Apache-2.0
// Two writers of one log, as a host and a command started beside it: every
// line goes into the newest file, never into one that rotation has passed.

#include "platform/rotating_file.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <vector>

#include "common/temp_folder.hpp"

namespace talvenix::platform {
namespace {

TEST(RotatingFile, TwoWritersKeepTheNewestLinesInOrderAcrossRotations) {
  testing::TempFolder temp("rotate");
  std::string path = temp.File("Talvenix.log");
  RotatingFile a, b;
  ASSERT_FALSE(a.Open(path, 64, 2));
  ASSERT_FALSE(b.Open(path, 64, 2));
  constexpr int kLines = 40;
  for (int i = 0; i < kLines; ++i) {
    // Short lines of one writer still fit into a file the other has just
    // rotated away: only noticing the rotation keeps them out of it.
    char line[32];
    std::snprintf(line, sizeof line, i % 2 ? "line %02d\n" : "line %02d of nineteen\n", i);
    ASSERT_FALSE((i % 2 ? a : b).Append(line));
  }
  a.Close();
  b.Close();

  std::vector<int> seen;
  for (size_t index : {2, 1, 0}) {
    std::string text = temp.Read(RotatingFile::RotatedName("Talvenix.log", index));
    EXPECT_LE(text.size(), 64u + 20u) << index;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      int number = -1;
      ASSERT_EQ(std::sscanf(line.c_str(), "line %d", &number), 1) << line;
      seen.push_back(number);
    }
  }
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), kLines - 1);
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_EQ(seen[i], seen[i - 1] + 1) << "after line " << seen[i - 1];
  EXPECT_EQ(temp.CountEntries(), 3);  // no fourth file, no lock file left behind
}

}  // namespace
}  // namespace talvenix::platform
