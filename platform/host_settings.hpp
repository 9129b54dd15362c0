// SPDX-License-Identifier: Apache-2.0
#pragma once
// The host's settings. Sections are registry key paths (for example
// "SOFTWARE\Vantrel FAX & VOICE\Orlinda\Config\E2FG"), keys are value names;
// both are matched without regard to case, as the registry does.
// On Windows they are the registry itself: a section from "SOFTWARE\" is a
// key path as it stands, any other ("proxysettings") a key below the host's
// "SOFTWARE\Vantrel FAX & VOICE\Orlinda\Config"; a value is looked for under
// HKEY_LOCAL_MACHINE, then HKEY_CURRENT_USER; REG_SZ comes as text (UTF-8),
// REG_DWORD in signed decimal (so a VARIANT_BOOL true reads "-1" as in the
// file). On POSIX one INI file stands in for the registry keys and the
// configuration store; its lines may be of any length.

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.hpp"

namespace talvenix::platform {

// The host's own key, below which the registry keeps a section that is not a
// whole key path (Windows).
inline constexpr std::string_view kHostConfigKey = "SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\";

class HostSettings {
 public:
  enum class Status { kLoaded, kMissing, kUnreadable, kMalformed };

  // Reads the file. Only kLoaded keeps values: a file that cannot be opened or
  // has a malformed line (error_line() says which) gives none, so a half-read
  // or cut value is never used. On Windows `path` names no file and Load
  // gives kLoaded, except for "HKEY_CURRENT_USER\<key>": then that key
  // stands in for both hives (kMissing when it does not exist), which lets
  // tests keep their settings apart from the host's.
  Status Load(const std::string& path);
  int error_line() const { return error_line_; }
  Error error() const { return error_; }  // why the file is kUnreadable

  // The value, or nothing when the section or key is absent. Quotes are not
  // special; a value of "" is present and empty.
  std::optional<std::string> Get(std::string_view section, std::string_view key) const;

 private:
#if defined(_WIN32)
  std::string root_;  // the key every section is below, or empty for the two hives
#else
  std::map<std::string, std::string> values_;  // "section\nkey" in lower case
#endif
  int error_line_ = 0;
  Error error_;
};

}  // namespace talvenix::platform
