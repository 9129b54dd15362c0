// SPDX-License-Identifier: Apache-2.0
#include <stdio.h>

#include "common/temp_folder.hpp"
#include "drivers/at/gammu_pdu.hpp"

namespace talvenix::testing {

std::string GammuPduJson(const std::string& pdus) {
  TempFolder folder("gammu");
  folder.Write("pdus", pdus);
  std::string command = "/usr/bin/python3 " + std::string(TALVENIX_SOURCE_DIR) + "/tests/drivers/at/gammu_pdu.py " +
                        (folder.path() / "pdus").string();
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
  }
  return output;
}

}  // namespace talvenix::testing
