#pragma once
// What the modem simulator received, read back by an independent codec:
// python3-gammu through tests/drivers/at/gammu_pdu.py, so a fault that the
// driver's encoder and decoder share cannot pass unseen.

#include <gtest/gtest.h>
#include <stdio.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/temp_folder.hpp"
#include "support/text_codec.hpp"

namespace talvenix::testing {

struct GammuSubmit {
  std::string number;
  std::u16string text;
  std::string coding;
  int part = -1, parts = 0, reference = 0;
};

inline std::vector<GammuSubmit> GammuDecode(const std::vector<std::string>& hex_pdus) {
  TempFolder folder("gammu");
  std::string input;
  for (const std::string& hex : hex_pdus) input += hex + "\n";
  folder.Write("pdus", input);
  std::string command = "/usr/bin/python3 " + std::string(TALVENIX_SOURCE_DIR) + "/tests/drivers/at/gammu_pdu.py " +
                        (folder.path() / "pdus").string();
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
  }
  std::vector<GammuSubmit> decoded;
  nlohmann::json all = nlohmann::json::parse(output, nullptr, false);
  if (!all.is_array()) {
    ADD_FAILURE() << "gammu could not read the PDUs: " << output;
    return decoded;
  }
  for (const auto& m : all)
    decoded.push_back(
        {m["number"], Utf8ToUtf16(m["text"].get<std::string>()), m["coding"], m["part"], m["parts"], m["reference"]});
  return decoded;
}

}  // namespace talvenix::testing
