// SPDX-License-Identifier: Apache-2.0
#pragma once
// Configuration tests work on real files in a fresh folder of their own.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "common/temp_folder.hpp"

namespace talvenix::testing {

// The bundled default configuration, as shipped.
inline std::string DefaultConfiguration() {
  std::ifstream in(std::string(TALVENIX_SOURCE_DIR) + "/examples/qvsmscomms.xml", std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Replaces the first occurrence of `from` by `to`; fails the test when absent.
inline std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

}  // namespace talvenix::testing
