// SPDX-License-Identifier: Apache-2.0
#pragma once
// Reading the provider's answers: the Central/Connector text answers ("ID: ",
// "ERR: "), and the Platform/Touch answers as XML tags or as JSON. Pure
// functions of the text, so they can be fuzzed; the wrapper logs the outcome.

#include <cstdint>
#include <string>
#include <string_view>

namespace talvenix::internet {

struct ClickatellAnswer {
  enum Kind { kSent, kError, kMalformedError, kUnknown };
  Kind kind = kUnknown;
  std::string message_id;  // kSent
  int error_code = 0;      // kError
  // The wrapper's result: 0 sent, the error code, or -1.
  int result() const { return kind == kSent ? 0 : kind == kError ? error_code : -1; }
};

// The text between the first "<key>" and the first "</key>" after it; false
// when either is missing or nothing lies between them.
bool ExtractTagValue(std::string_view document, std::string_view key, std::string& value);

// An unsigned decimal number after optional blanks; false without digits or
// when it does not fit in 31 bits.
bool ReadErrorNumber(std::string_view text, int& number);

ClickatellAnswer ParseCentralAnswer(std::string_view response);
// JSON when the answer is a JSON object, else the XML tags.
ClickatellAnswer ParsePlatformAnswer(std::string_view response);

}  // namespace talvenix::internet
