// SPDX-License-Identifier: Apache-2.0
// Fuzzes the reading of the provider's answers: the Central text answers, the
// Platform XML tags and JSON documents. Any input must give one of the four
// outcomes without crashing, and a sent answer always carries its id.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "gateways/internet/clickatell_answer.hpp"

using talvenix::internet::ClickatellAnswer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const ClickatellAnswer& a :
       {talvenix::internet::ParseCentralAnswer(text), talvenix::internet::ParsePlatformAnswer(text)}) {
    if (a.kind == ClickatellAnswer::kSent && a.result() != 0) std::abort();
    if (a.kind == ClickatellAnswer::kError && a.error_code < 0) std::abort();
    if (a.kind != ClickatellAnswer::kSent && a.kind != ClickatellAnswer::kError && a.result() != -1) std::abort();
  }
  return 0;
}
