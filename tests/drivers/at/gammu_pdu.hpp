// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the modem simulator received, read back by an independent codec:
// python3-gammu through tests/drivers/at/gammu_pdu.py, so a fault that the
// driver's encoder and decoder share cannot pass unseen.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/text_codec.hpp"

namespace talvenix::testing {

struct GammuSubmit {
  std::string number;
  std::u16string text;
  std::string coding;
  int part = -1, parts = 0, reference = 0;
};

// What gammu_pdu.py prints for the PDUs, one a line (gammu_pdu_posix.cpp;
// a Windows program asks the modem simulators' server, modem_sim_remote.cpp).
std::string GammuPduJson(const std::string& pdus);

inline std::vector<GammuSubmit> GammuDecode(const std::vector<std::string>& hex_pdus) {
  std::string input;
  for (const std::string& hex : hex_pdus) input += hex + "\n";
  std::string output = GammuPduJson(input);
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
