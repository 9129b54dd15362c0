// SPDX-License-Identifier: Apache-2.0
#include "platform/mailslot_name.hpp"

namespace talvenix::platform {

bool IsLocalMailslotName(std::string_view name) {
  if (name.size() < kLocalMailslotPrefix.size()) return false;
  for (size_t i = 0; i < kLocalMailslotPrefix.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kLocalMailslotPrefix[i]) return false;
  }
  std::string_view slot = name.substr(kLocalMailslotPrefix.size());
  size_t start = 0;
  for (size_t i = 0; i <= slot.size(); ++i) {
    if (i < slot.size() && slot[i] != '\\') {
      if (slot[i] == '/' || slot[i] == '\0') return false;
      continue;
    }
    std::string_view part = slot.substr(start, i - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = i + 1;
  }
  return true;
}

}  // namespace talvenix::platform
