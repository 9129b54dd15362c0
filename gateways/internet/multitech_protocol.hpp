// SPDX-License-Identifier: Apache-2.0
#pragma once
// The three requests of the iSMS device's HTTP API ("/sendmsg?", "/querymsg?",
// "/recvmsg?") and the encodings they use. Pure functions: callable from any
// thread. Paths come back as ASCII text ready for an HTTP GET.

#include <cstdint>
#include <string>
#include <string_view>

namespace talvenix {

class ILogInterface;

namespace multitech {

// The device URL encoding of one query value: UTF-8, letters, digits and
// -._~!$'()*,;:/@ copied, every other byte as %XX ('&' and '=' included, so
// no value can end early or add a parameter).
std::string DeviceUrlEncode(std::u16string_view text);

// Each UTF-16 unit as upper-case hexadecimal without leading zeros and a ';'
// ("Hi" -> "48;69;").
std::string TextToHex(std::u16string_view text);

// "/sendmsg?..." for one message to `number` (8-bit text). Logs the encoded
// text ("Encoded Message: %s") when `logger` is given.
std::string BuildSendRequest(std::u16string_view user, std::u16string_view password, std::string_view number,
                             std::u16string_view text, ILogInterface* logger);
// "/querymsg?..." asking for the state of the device's message `tracking_id`.
std::string BuildQueryRequest(std::u16string_view user, std::u16string_view password, uint32_t tracking_id);
// "/recvmsg?..." fetching the messages the device received.
std::string BuildRecvRequest(std::u16string_view user, std::u16string_view password);

}  // namespace multitech
}  // namespace talvenix
