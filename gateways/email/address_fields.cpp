// SPDX-License-Identifier: Apache-2.0
#include "gateways/email/address_fields.hpp"

#include <algorithm>

#include "gateways/email/mail_message.hpp"
#include "support/text_codec.hpp"

namespace talvenix {
namespace {

bool Holds(std::u16string_view text, std::u16string_view id) { return text.find(id) != std::u16string_view::npos; }

// The number as a mailbox: its digits and a leading '+', as an e-mail to
// SMS service expects ("+1 (555) 01-00." is +15550100).
std::u16string AddressForm(std::u16string_view number) {
  std::u16string out;
  for (char16_t c : number)
    if ((c >= u'0' && c <= u'9') || (c == u'+' && out.empty())) out += c;
  return out;
}

}  // namespace

bool IsPhoneNumber(std::u16string_view number) {
  bool digit = false;
  for (size_t i = 0; i < number.size(); ++i) {
    char16_t c = number[i];
    if (c >= u'0' && c <= u'9')
      digit = true;
    else if (!(c == u'+' && i == 0) && std::u16string_view(u" \t-.()").find(c) == std::u16string_view::npos)
      return false;
  }
  return digit;
}

AddressFill FillAddressField(std::u16string_view field, const std::vector<Placeholder>& message, std::string& out,
                             std::string& problem) {
  auto number =
      std::find_if(message.begin(), message.end(), [](const Placeholder& p) { return p.id == u"[smsnumber]"; });
  if (number != message.end() && Holds(field, number->id) && !IsPhoneNumber(number->value))
    return AddressFill::kNotAPhoneNumber;
  // The template decides where each entry's name and address are; the values only fill them.
  std::vector<mail::Address> list;
  if (!mail::ParseAddressList(Utf16ToUtf8(field), list, &problem)) return AddressFill::kUnusable;
  std::vector<Placeholder> in_address;
  if (number != message.end()) in_address.push_back({number->id, AddressForm(number->value)});
  for (mail::Address& a : list) {
    std::u16string address = Utf8ToUtf16(a.address);
    for (const Placeholder& p : message) {
      if (p.id != u"[smsnumber]" && Holds(address, p.id)) {
        problem = a.address;
        return AddressFill::kUnusable;
      }
    }
    a.address = Utf16ToUtf8(ReplacePlaceholders(address, in_address));
    a.display_name = Utf16ToUtf8(ReplacePlaceholders(Utf8ToUtf16(a.display_name), message));
  }
  out = mail::AddressListText(list);
  return AddressFill::kFilled;
}

}  // namespace talvenix
