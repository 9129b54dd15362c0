// SPDX-License-Identifier: Apache-2.0
#pragma once
// The process environment of the internet tests: no proxy variables from the
// machine, a host settings file of the test's own, and a CA file when asked.
// Everything set here is put back when the object goes.

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "gateways/internet/proxy_password.hpp"

namespace talvenix::testing {

class ScopedEnvironment {
 public:
  ScopedEnvironment() {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "no_proxy", "NO_PROXY", "TALVENIX_CA_FILE", "TALVENIX_HOST_SETTINGS"})
      Unset(name);
  }
  ~ScopedEnvironment() {
    for (auto& [name, value] : saved_) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
  }
  void Set(const std::string& name, const std::string& value) {
    Save(name);
    setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Save(name);
    unsetenv(name.c_str());
  }

 private:
  void Save(const std::string& name) {
    if (saved_.count(name)) return;
    const char* v = std::getenv(name.c_str());
    saved_[name] = v ? std::optional<std::string>(v) : std::nullopt;
  }
  std::map<std::string, std::optional<std::string>> saved_;
};


}  // namespace talvenix::testing
