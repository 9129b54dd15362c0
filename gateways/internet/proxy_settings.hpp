// SPDX-License-Identifier: Apache-2.0
#pragma once
// The proxy that the HTTP clients apply to each request: the configured proxy
// of the host settings (section [proxysettings]), else the user's system proxy
// configuration (on POSIX the environment's proxy variables stand in for it).

#include <cstdint>
#include <string>
#include <string_view>

#include "contract/log_interface.hpp"

namespace talvenix::internet {

// Mode bits. Automatic configuration (2, 4) is never produced from the POSIX
// environment, only from the Windows configuration.
constexpr uint32_t kProxyNamed = 0x1;
constexpr uint32_t kProxyAutoConfigUrl = 0x2;
constexpr uint32_t kProxyAutoDetect = 0x4;

// Credential schemes.
constexpr uint32_t kProxyAuthBasic = 1;
constexpr uint32_t kProxyAuthDigest = 8;

struct ProxyState {
  std::string proxy;            // "server:port", or the environment's proxy URL
  std::string user_name;        // empty: no credentials
  std::string password;         // plain text, after descrambling
  std::string auto_config_url;  // a configuration script's URL; never filled on POSIX
  std::string bypass_list;      // hosts reached directly (no_proxy on POSIX)
  uint32_t auth_scheme = 0;     // kProxyAuthBasic or kProxyAuthDigest; 0 until loaded
  uint32_t mode = 0;            // kProxy* bits; 0 = direct
  bool configured = false;      // the host settings enabled a proxy: used unchanged
  // Why the host settings could not be read (file and line, or the key), so
  // a configured proxy may exist that is unknown: nothing may go out around it.
  std::string unusable;
};

// Names of the section and its seven keys in the host settings file.
inline constexpr const char* kProxySection = "proxysettings";

// Undoes the host's scrambling of "Proxy_Password". A selector without a value
// character at the end is ignored; an empty text gives an empty password.
std::string DescrambleProxyPassword(std::string_view stored);

// Reads [proxysettings] from the host settings file at `path` into `state`
// (cleared first). Without an enabled configured proxy it reads the system
// proxy instead. False, with a log line, when the file or a needed key cannot
// be read; the state then has no proxy and says why in `unusable`.
bool LoadProxySettings(ProxyState& state, ILogInterface* logger, const std::string& path);

// Reads the system proxy for `url` into `state`; defined beside each
// platform's HTTP transport. POSIX: the environment (https_proxy for https
// URLs, http_proxy for the others, then all_proxy; either case) with no_proxy
// as the bypass list; mode 1 when a proxy is named, else 0; never fails.
// Windows: the current user's proxy configuration, automatic configuration
// (modes 2 and 4) included; false, with the state unchanged, when it cannot
// be read.
bool LoadSystemProxySettings(ProxyState& state, std::string_view url);

}  // namespace talvenix::internet
