#pragma once
// The host's settings: one INI file standing in for the host's registry keys
// and configuration store. Sections are registry key paths (for example
// "[SOFTWARE\Vantrel FAX & VOICE\Orlinda\Config\E2FG]"), keys are value names;
// both are matched without regard to case, as the registry does. Lines may be
// of any length.

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.hpp"

namespace talvenix::platform {

class HostSettings {
 public:
  enum class Status { kLoaded, kMissing, kUnreadable, kMalformed };

  // Reads the file. Only kLoaded keeps values: a file that cannot be opened or
  // has a malformed line (error_line() says which) gives none, so a half-read
  // or cut value is never used.
  Status Load(const std::string& path);
  int error_line() const { return error_line_; }
  Error error() const { return error_; }  // why the file is kUnreadable

  // The value, or nothing when the section or key is absent. Quotes are not
  // special; a value of "" is present and empty.
  std::optional<std::string> Get(std::string_view section, std::string_view key) const;

 private:
  std::map<std::string, std::string> values_;  // "section\nkey" in lower case
  int error_line_ = 0;
  Error error_;
};

}  // namespace talvenix::platform
