// SPDX-License-Identifier: Apache-2.0
// The environment overrides: each read in one place, with one rule.

#include "support/overrides.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace talvenix {
namespace {

TEST(Overrides, HostSettingsPathComesFromTheEnvironmentElseTheWorkingFolder) {
  unsetenv("TALVENIX_HOST_SETTINGS");
  EXPECT_EQ(HostSettingsPath(), "talvenix-host.ini");
  setenv("TALVENIX_HOST_SETTINGS", "", 1);
  EXPECT_EQ(HostSettingsPath(), "talvenix-host.ini");
  setenv("TALVENIX_HOST_SETTINGS", "/etc/x.ini", 1);
  EXPECT_EQ(HostSettingsPath(), "/etc/x.ini");
  unsetenv("TALVENIX_HOST_SETTINGS");
}

}  // namespace
}  // namespace talvenix
