// SPDX-License-Identifier: Apache-2.0
#include "gateways/internet/proxy_settings.hpp"

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/host_settings.hpp"

namespace talvenix::internet {
namespace {

// The host's value of a true boolean; any other value is off.
constexpr const char* kVariantTrue = "-1";
constexpr std::string_view kScrambleKey = "{7C1A3F9E-2D84-4b6e-A51C-93E0F4B7D26A}";

// A value in the host settings that a proxy cannot be set up from.
constexpr platform::Error kBadValue{platform::ErrorKind::kInvalidArgument};

struct ReadError {
  platform::Error error;
  std::string text;
};

// A 32-bit integer key in decimal; nothing when absent or not a number.
std::optional<long long> ReadInteger(const platform::HostSettings& settings, const char* key) {
  auto text = settings.Get(kProxySection, key);
  if (!text || text->empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text->c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > UINT32_MAX) return std::nullopt;
  return value;
}

bool IsTrue(const platform::HostSettings& settings, const char* key) {
  auto value = settings.Get(kProxySection, key);
  return value && *value == kVariantTrue;
}

// Fills the configured proxy; an error for a key that a proxy cannot do without.
std::optional<ReadError> ReadConfiguredProxy(const platform::HostSettings& settings, ProxyState& state) {
  std::string server = settings.Get(kProxySection, "Proxy_Server").value_or("");
  if (server.empty()) return ReadError{kBadValue, "Proxy_Server is missing or empty"};
  auto port = ReadInteger(settings, "Proxy_Port");
  if (!port || *port < 1 || *port > 65535) return ReadError{kBadValue, "Proxy_Port is not a port number"};
  state.proxy = server + ":" + std::to_string(*port);
  state.mode = kProxyNamed;
  state.configured = true;
  if (IsTrue(settings, "Proxy_CredentialsEnabled")) {
    state.user_name = settings.Get(kProxySection, "Proxy_Username").value_or("");
    state.password = DescrambleProxyPassword(settings.Get(kProxySection, "Proxy_Password").value_or(""));
    auto scheme = settings.Get(kProxySection, "Proxy_Authentication") ? ReadInteger(settings, "Proxy_Authentication")
                                                                      : std::optional<long long>(0);
    if (!scheme) return ReadError{kBadValue, "Proxy_Authentication is not a number"};
    state.auth_scheme = *scheme != 0 ? kProxyAuthDigest : kProxyAuthBasic;
  } else {
    state.user_name.clear();
  }
  return std::nullopt;
}

}  // namespace

std::string DescrambleProxyPassword(std::string_view stored) {
  std::string plain;
  size_t k = 0;
  for (size_t i = 0; i + 1 < stored.size(); i += 2) {
    auto selector = static_cast<unsigned char>(stored[i]);
    auto value = static_cast<unsigned char>(stored[i + 1]);
    unsigned band = (selector - 1u) & 3u;
    if (band == 3) band = 2;
    unsigned byte = value - 33u + 90u * band - static_cast<unsigned char>(kScrambleKey[k]);
    plain += static_cast<char>(byte & 0xFFu);
    k = (k + 1) % kScrambleKey.size();
  }
  return plain;
}

bool LoadProxySettings(ProxyState& state, ILogInterface* logger, const std::string& path) {
  state = ProxyState{};
  platform::HostSettings settings;
  platform::HostSettings::Status status = settings.Load(path);
  std::optional<ReadError> error;
  if (status == platform::HostSettings::Status::kUnreadable) {
    error = ReadError{settings.error(), path + ": " + settings.error().Describe()};
  } else if (status == platform::HostSettings::Status::kMalformed) {
    error = ReadError{kBadValue, path + ": malformed line " + std::to_string(settings.error_line())};
  } else if (IsTrue(settings, "Proxy_Enabled")) {
    error = ReadConfiguredProxy(settings, state);
    if (error) error->text = path + ": " + error->text;
  } else {
    state.user_name.clear();
    if (!LoadSystemProxySettings(state, "https:")) {
      state.mode = 0;
      logger->Error("LoadProxySettings failed retrieving system proxy settings");
      return false;
    }
    return true;
  }
  if (!error) return true;
  // A half-read configured proxy is never used, and nothing goes around it either.
  state = ProxyState{};
  state.unusable = error->text;
  logger->Error("LoadProxySettings failed [0x%X, %s]", static_cast<unsigned>(error->error.Hresult()),
                error->text.c_str());
  return false;
}

}  // namespace talvenix::internet
