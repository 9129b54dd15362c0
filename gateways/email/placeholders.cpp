// SPDX-License-Identifier: Apache-2.0
#include "gateways/email/placeholders.hpp"

#include <algorithm>

#include "support/text_codec.hpp"

namespace talvenix {
namespace {

// Property values are at most 1999 characters; ids and names are short.
constexpr size_t kValueChars = 5000;
constexpr size_t kNameChars = 1000;

}  // namespace

std::u16string ReplacePlaceholders(std::u16string_view text, const std::vector<Placeholder>& placeholders,
                                   size_t limit) {
  std::u16string out;
  out.reserve(std::min(limit, text.size() + 64));
  // Ids that do not start with '[' are rare; only then is every place checked.
  bool bracketed = std::all_of(placeholders.begin(), placeholders.end(),
                               [](const Placeholder& p) { return p.id.empty() || p.id.front() == u'['; });
  size_t i = 0;
  while (i < text.size() && out.size() <= limit) {
    const Placeholder* hit = nullptr;
    for (const Placeholder& p : placeholders) {
      if (!p.id.empty() && text[i] == p.id.front() && text.substr(i, p.id.size()) == p.id) {
        hit = &p;
        break;
      }
    }
    if (hit) {
      out += hit->value;
      i += hit->id.size();
    } else {
      size_t end = bracketed ? std::min(text.find(u'[', i + 1), text.size()) : i + 1;
      out.append(text.substr(i, end - i));
      i = end;
    }
  }
  out.resize(CutLength(out, limit));
  return out;
}

bool AppendServiceProperties(IGSMConfigurationInterface* loader, const char* service_name,
                             const std::vector<std::u16string_view>& withheld, std::vector<Placeholder>& out) {
  if (!loader || !loader->findinitproperty(service_name)) return false;
  std::string name(kNameChars, '\0'), id(kNameChars, '\0');
  std::u16string value(kValueChars, u'\0');
  while (true) {
    id[0] = '\0';
    value[0] = u'\0';
    if (!loader->findnextproperty(name.data(), name.size(), value.data(), value.size(), id.data(), id.size())) break;
    std::u16string property_id = Utf8ToUtf16(id.c_str());
    if (property_id.empty() || std::find(withheld.begin(), withheld.end(), property_id) != withheld.end()) continue;
    out.push_back({std::move(property_id), std::u16string(value.c_str())});
  }
  return true;
}

}  // namespace talvenix
