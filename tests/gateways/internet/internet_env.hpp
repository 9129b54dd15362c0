#pragma once
// The process environment of the internet tests: no proxy variables from the
// machine, a host settings file of the test's own, and a CA file when asked.
// Everything set here is put back when the object goes.

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

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

// Scrambles a password as the host stores "Proxy_Password": each byte as a
// band selector and a printable value character (the inverse of the module's
// descrambling), so tests can write the stored form of a known password.
inline std::string ScrambleProxyPassword(const std::string& plain) {
  static const std::string key = "{7C1A3F9E-2D84-4b6e-A51C-93E0F4B7D26A}";
  std::string out;
  for (size_t i = 0; i < plain.size(); ++i) {
    int sum = static_cast<unsigned char>(plain[i]) + 33 + static_cast<unsigned char>(key[i % key.size()]);
    int band = sum > 126 ? (sum - 90 > 126 ? 2 : 1) : 0;
    out += static_cast<char>('1' + band);
    out += static_cast<char>(sum - 90 * band);
  }
  return out;
}

}  // namespace talvenix::testing
