// SPDX-License-Identifier: Apache-2.0
#include "drivers/at/device_holders.hpp"

#include <filesystem>
#include <fstream>

namespace talvenix::at {

namespace fs = std::filesystem;

std::string DeviceHolders(const std::string& device) {
  std::error_code ec;
  fs::path target = fs::canonical(device, ec);
  if (ec) return {};
  std::string holders;
  for (fs::directory_iterator proc("/proc", ec), end; !ec && proc != end; proc.increment(ec)) {
    std::string pid = proc->path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fd_ec;
    for (fs::directory_iterator fd(proc->path() / "fd", fd_ec); !fd_ec && fd != end; fd.increment(fd_ec)) {
      std::error_code link_ec;
      if (fs::read_symlink(fd->path(), link_ec) != target || link_ec) continue;
      std::string name;
      std::getline(std::ifstream(proc->path() / "comm"), name);
      holders += (holders.empty() ? "" : ", ") + ("process " + pid + " (" + name + ")");
      break;
    }
  }
  return holders;
}

}  // namespace talvenix::at
