// SPDX-License-Identifier: Apache-2.0
#pragma once
// SMS PDUs as modems exchange them in PDU mode (hex text): building
// SMS-SUBMIT parts for a text, and reading SMS-DELIVER, SMS-STATUS-REPORT and
// SMS-SUBMIT. Pure functions; bad input gives an error text, never a throw.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace talvenix::at {

enum class Encoding { kGsm7, kData8, kUcs2 };

struct Address {
  std::string text;  // "+4670..." international, digits otherwise, UTF-8 for alphanumeric
  uint8_t type = 0;  // type-of-address octet (0x91, 0x81, 0xA1, 0xD0, ...)
};

struct Timestamp {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int zone_quarters = 0;  // offset from UTC in quarters of an hour
};

// Concatenation header (8- or 16-bit reference); total 0 when absent.
struct Concat {
  uint16_t reference = 0;
  uint8_t total = 0;
  uint8_t sequence = 0;
};

struct Deliver {
  Address smsc;
  Address originator;
  uint8_t protocol = 0;
  uint8_t coding = 0;
  Encoding encoding = Encoding::kGsm7;
  Timestamp sent;
  Concat concat;
  std::u16string text;  // 8-bit data shows as U+0000..U+00FF
  bool report_indication = false;
  std::string flaw;  // set when the message could be read only in part (the text is what could)
};

struct StatusReport {
  Address smsc;
  uint8_t reference = 0;  // TP-MR of the submitted message
  Address recipient;
  Timestamp submitted;
  Timestamp discharged;
  uint8_t status = 0;  // TP-ST: 0x00-0x1F done, 0x20-0x3F still trying, 0x40+ failed
};

struct Submit {
  Address smsc;
  bool report_request = false;  // TP-SRR
  uint8_t reference = 0;
  Address recipient;
  uint8_t protocol = 0;
  uint8_t coding = 0;
  Encoding encoding = Encoding::kGsm7;
  std::optional<uint8_t> validity;  // relative form only
  Concat concat;
  std::u16string text;
};

using Decoded = std::variant<Deliver, StatusReport, Submit>;

struct DecodeResult {
  std::optional<Decoded> message;
  std::string error;  // set when message is empty
};

// Reads a PDU as a modem shows it: the SMSC part first unless `with_smsc`
// is false. SMS-SUBMIT is read only when `mobile_originated` (its type bits
// mean SMS-SUBMIT-REPORT the other way round).
DecodeResult DecodePdu(std::string_view hex, bool with_smsc = true, bool mobile_originated = false);

// Meaning of a TP-ST value in a few words ("delivered", "expired", ...).
const char* DeliveryStatusText(uint8_t status);

struct SubmitOptions {
  bool report_request = false;
  uint8_t validity = 0xAA;  // relative: 0xAA is four days
  bool allow_ucs2 = true;   // false: characters outside the GSM alphabet become '?'
  uint16_t concat_reference = 0;
  bool international = true;  // "+" numbers as international; else as given, unknown type
};

struct SubmitPart {
  std::string hex;     // "00" (stored SMSC) followed by the TPDU
  size_t tpdu_length;  // octets after the SMSC part, for AT+CMGS
};

struct SubmitBuild {
  std::vector<SubmitPart> parts;
  Encoding encoding = Encoding::kGsm7;
  std::string error;  // set when nothing can be built (bad number, too many parts)
};

// One PDU for a short text, else concatenated parts of 153 septets or 67
// UCS-2 characters (support/sms_segments.hpp), each carrying the same reference.
SubmitBuild BuildSubmit(const std::string& recipient, std::u16string_view text, const SubmitOptions& options);

// ---- Pieces shared with tests and tools -------------------------------------

// The GSM default alphabet: septets for a text (escape 0x1B before extension
// characters). False when a character has no septet; with `replace`, such
// characters become '?' and the result is always true.
bool ToGsm7(std::u16string_view text, std::vector<uint8_t>& septets, bool replace = false);
std::u16string FromGsm7(const std::vector<uint8_t>& septets);
// Packs septets after `fill_bits` zero bits; unpacks `count` septets likewise.
std::vector<uint8_t> PackSeptets(const std::vector<uint8_t>& septets, int fill_bits = 0);
std::vector<uint8_t> UnpackSeptets(const uint8_t* data, size_t size, size_t count, int fill_bits = 0);

std::string ToHex(const std::vector<uint8_t>& bytes);
bool FromHex(std::string_view hex, std::vector<uint8_t>& bytes);

}  // namespace talvenix::at
