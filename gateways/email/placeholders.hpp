// SPDX-License-Identifier: Apache-2.0
#pragma once
// Placeholders of the e-mail templates: property ids of the running service
// ("[bodyline3]") and the message's own "[smsnumber]", "[smsmessage]" and
// "[smssender]", replaced in one pass so that inserted text is never searched
// again (a value holding a placeholder cannot make the replacement go on).

#include <string>
#include <string_view>
#include <vector>

#include "contract/configuration_interface.hpp"

namespace talvenix {

struct Placeholder {
  std::u16string id;
  std::u16string value;
};

constexpr size_t kMaxReplacedChars = 4095;

// `text` with every occurrence of each id replaced by its value (ids match
// case-sensitively; where two start at the same place the earlier entry
// wins), cut to `limit` characters without splitting a surrogate pair.
std::u16string ReplacePlaceholders(std::u16string_view text, const std::vector<Placeholder>& placeholders,
                                   size_t limit = kMaxReplacedChars);

// Appends the (id, value) of every property of the named service, in
// document order, through the loader's property enumeration. Properties in
// `withheld` are skipped (secrets never go into a message). False when the
// enumeration cannot start.
bool AppendServiceProperties(IGSMConfigurationInterface* loader, const char* service_name,
                             const std::vector<std::u16string_view>& withheld, std::vector<Placeholder>& out);

}  // namespace talvenix
