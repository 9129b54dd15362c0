// SPDX-License-Identifier: Apache-2.0
#include <limits.h>
#include <unistd.h>

#include "platform/program_path.hpp"

namespace talvenix::platform {

std::string ProgramFolder() {
  char self[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.find_last_of('/'));
}

}  // namespace talvenix::platform
