// SPDX-License-Identifier: Apache-2.0
#pragma once
// The address fields of a template (from, to, cc, bcc) filled with the
// message's values. The host chooses those values, so none of them may add
// or change an address: the sender's name and the message text go in only
// as display names, and the recipient's number goes into an address only
// when it is a phone number.

#include <string>
#include <string_view>
#include <vector>

#include "gateways/email/placeholders.hpp"

namespace talvenix {

enum class AddressFill {
  kFilled,
  kNotAPhoneNumber,  // the field uses "[smsnumber]" and the number is no phone number
  kUnusable          // the template's entry has no usable address, or a value would stand in one
};

// Digits with an optional leading '+', and the blanks, '-', '.' and
// parentheses that people write between them.
bool IsPhoneNumber(std::u16string_view number);

// `field` is the template's text with the service's property ids already
// replaced; `message` holds "[smsnumber]", "[smsmessage]" and "[smssender]".
// On kFilled `out` is the list as mail::ParseAddressList reads it; on
// kUnusable `problem` is the entry that cannot be used.
AddressFill FillAddressField(std::u16string_view field, const std::vector<Placeholder>& message, std::string& out,
                             std::string& problem);

}  // namespace talvenix
