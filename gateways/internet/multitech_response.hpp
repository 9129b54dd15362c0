// SPDX-License-Identifier: Apache-2.0
#pragma once
// Reading the iSMS device's answers: the send answer ("ID: n"), the state of a
// message ("ID: n Status: s" or "Err: e"), device errors, and the XML list of
// received messages. Each parser takes any bytes at all and never throws;
// none keeps state between calls, so any thread may call them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace talvenix {

class ILogInterface;

namespace multitech {

// How the device gives a received message's text.
enum class TextEncoding : uint32_t { kAscii = 0, kUnicodeHex = 1, kExtendedAscii = 2 };

// One message of a "/recvmsg?" answer.
struct ReceivedEntry {
  uint32_t index = 0;
  std::string sender, date, time;
  std::u16string text;  // percent-decoded, still hexadecimal for kUnicodeHex
  TextEncoding encoding = TextEncoding::kUnicodeHex;
};

// 112 and the device's message id in *tracking_id (0 when no digits follow
// "ID:"), or 1 when the answer carries no usable "ID:".
int32_t ParseSendResponse(std::string_view response, uint32_t* tracking_id);

// The status code of a "/querymsg?" answer: a device error, the state table's
// code, or 112 (still in progress) for an answer matching no pattern.
int32_t ParseQueryResponse(std::string_view response, ILogInterface* logger);

// The status code of the device error whose "Err: " starts `text`; 1 for a
// missing text, a short one, or a code outside the table.
int32_t parse_error(const char* text, ILogInterface* logger);
int32_t parse_error(std::string_view text, ILogInterface* logger);

// 0 with the received messages appended to `entries`; 1 (or a device error's
// code when the answer is not XML) on failure, with the entries read so far.
int32_t parse_queryrecvmsg(std::string_view response, std::vector<ReceivedEntry>& entries, ILogInterface* logger);

// Each group of four hexadecimal digits becomes one UTF-16 unit; a last
// shorter group is dropped. A group that is not hexadecimal, and a surrogate
// without its partner, become U+FFFD, so the host never gets broken UTF-16.
std::u16string DecodeUnicodeHex(std::u16string_view hex);

}  // namespace multitech
}  // namespace talvenix
