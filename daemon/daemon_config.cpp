// SPDX-License-Identifier: Apache-2.0
#include "daemon/daemon_config.hpp"

#include <ini.h>

#include <cctype>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>

#include <unistd.h>

#include "daemon/webhook_url.hpp"

namespace talvenix::daemon {
namespace {

struct Reading {
  DaemonConfig* config;
  std::string error;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsDigest(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// The items of a comma-separated value, without the blanks around them.
std::vector<std::string> CommaList(const std::string& value) {
  std::vector<std::string> items;
  for (size_t start = 0; start <= value.size();) {
    size_t end = value.find(',', start);
    if (end == std::string::npos) end = value.size();
    std::string item = value.substr(start, end - start);
    item.erase(0, item.find_first_not_of(' '));
    item.erase(item.find_last_not_of(' ') + 1);
    items.push_back(item);
    start = end + 1;
  }
  return items;
}

// One digest per line, or several separated by commas.
bool AddDigests(const std::string& value, std::vector<std::string>& digests) {
  for (const std::string& digest : CommaList(value)) {
    if (!IsDigest(digest)) return false;
    digests.push_back(Lower(digest));
  }
  return true;
}

// A whole or decimal number of at least `least`; false otherwise.
template <typename T>
bool ReadNumber(const std::string& value, T least, T& out) {
  T read{};
  if (std::from_chars(value.data(), value.data() + value.size(), read).ec != std::errc() || read < least) return false;
  out = read;
  return true;
}

constexpr const char* kRateWanted = "expected a number of messages per second, 0 for no limit";

Tenant& TenantNamed(DaemonConfig& c, const std::string& name) {
  for (Tenant& t : c.tenants)
    if (t.name == name) return t;
  return c.tenants.emplace_back(Tenant{name, {}, 0, 0});
}

// [tenant NAME]: a group of keys with its own limits.
bool TenantSetting(DaemonConfig& c, const std::string& section, const std::string& n, const std::string& value,
                   std::string& why) {
  const std::string name = section.substr(7);
  if (!IsTenantName(name)) {
    why = "a tenant's name is 1 to 64 letters, digits, '-', '_' or '.'";
    return false;
  }
  Tenant& t = TenantNamed(c, name);
  if (n == "key_sha256") {
    if (!AddDigests(value, t.key_digests)) why = "not a SHA-256 digest in hex (talvenixd --hash-key KEY makes one)";
  } else if (n == "messages_per_second") {
    if (!ReadNumber(value, 0.0, t.messages_per_second)) why = kRateWanted;
  } else if (n == "daily_cap") {
    if (!ReadNumber<int64_t>(value, 0, t.daily_cap)) why = "expected a number of messages per day, 0 for no limit";
  } else {
    why = "unknown setting";
  }
  return why.empty();
}

struct NumberSetting {
  int* out;
  int most;
};

// The whole-number settings, each from 1 up to its most.
std::optional<NumberSetting> NumberSettingOf(DaemonConfig& c, const std::string& section, const std::string& name) {
  const std::pair<const char*, NumberSetting> settings[] = {
      {"webhook timeout_seconds", {&c.webhook_timeout_s, 300}},
      {"webhook per_receiver", {&c.webhook_per_receiver, 1000}},
      {"webhook connections", {&c.webhook_connections, 1000}},
      {"api request_timeout_seconds", {&c.request_timeout_s, 300}},
      {"api idle_timeout_seconds", {&c.idle_timeout_s, 3600}},
      {"api connections", {&c.connections, 1000000}},
      {"api connections_per_address", {&c.connections_per_address, 1000000}},
      {"api max_recipients", {&c.max_recipients, 10000}},
      {"queue parallel", {&c.parallel, 64}},
  };
  const std::string key = section + " " + name;
  for (auto [setting, number] : settings)
    if (key == setting) return number;
  return std::nullopt;
}

int Handle(void* user, const char* section, const char* name, const char* raw) {
  auto& r = *static_cast<Reading*>(user);
  DaemonConfig& c = *r.config;
  const std::string s = section, n = name, value = raw;
  auto fail = [&](const std::string& why) {
    if (r.error.empty()) r.error = "[" + s + "] " + n + ": " + why;
    return 0;
  };
  if (s == "daemon" && n == "module") {
    c.module = value;
  } else if (s == "daemon" && n == "module_config") {
    c.module_config_dir = value;
  } else if (s == "daemon" && n == "database") {
    c.database = value;
  } else if (s == "daemon" && n == "listen") {
    size_t colon = value.rfind(':');
    int port = -1;
    if (colon == std::string::npos ||
        std::from_chars(value.data() + colon + 1, value.data() + value.size(), port).ec != std::errc() || port < 0 ||
        port > 65535)
      return fail("expected host:port, e.g. 127.0.0.1:8080");
    c.listen_host = value.substr(0, colon);
    // [::1]:8080 names an IPv6 address.
    if (c.listen_host.size() > 2 && c.listen_host.front() == '[' && c.listen_host.back() == ']')
      c.listen_host = c.listen_host.substr(1, c.listen_host.size() - 2);
    c.listen_port = port;
  } else if ((s == "api" || s == "status") && n == "key_sha256") {
    if (!AddDigests(value, s == "api" ? c.tenants.front().key_digests : c.status_key_digests))
      return fail("not a SHA-256 digest in hex (talvenixd --hash-key KEY makes one)");
  } else if (s.compare(0, 7, "tenant ") == 0) {
    std::string why;
    if (!TenantSetting(c, s, n, value, why)) return fail(why);
  } else if (s == "status" && n == "open") {
    if (value != "yes" && value != "no") return fail("expected yes or no");
    c.status_open = value == "yes";
  } else if (s == "webhook" && n == "url") {
    std::string why;
    std::optional<WebhookUrl> url = ParseWebhookUrl(value, why);
    if (!url && !value.empty()) return fail("not a receiver's URL: " + why);
    c.webhook_url = url ? url->url : "";
  } else if (s == "webhook" && n == "allow") {
    for (const std::string& network : CommaList(value))
      if (!network.empty() && !c.webhook_policy.Allow(network))
        return fail("not an address or network: \"" + network + "\" (expected 10.0.0.0/8, fd00::/8, 127.0.0.1)");
  } else if (std::optional<NumberSetting> number = NumberSettingOf(c, s, n)) {
    int read = -1;
    if (!ReadNumber(value, 1, read) || read > number->most)
      return fail("expected a number from 1 to " + std::to_string(number->most));
    *number->out = read;
  } else if (s == "webhook" && n == "secret") {
    c.webhook_secret = value;
  } else if (s == "throttle" && n == "messages_per_second") {
    if (!ReadNumber(value, 0.0, c.messages_per_second)) return fail(kRateWanted);
  } else if (s == "queue" && n == "backend") {
    if (value != "sqlite" && value != "postgresql") return fail("expected sqlite or postgresql");
    c.postgresql = value == "postgresql";
  } else if (s == "queue" && n == "postgresql") {
    c.postgresql_connection = value;
  } else if (s == "queue" && (n == "name" || n == "group")) {
    // Kept in the shared tables and shown on the status page.
    for (char ch : value)
      if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-' && ch != '_' && ch != '.')
        return fail("expected letters, digits, '-', '_' and '.'");
    if (value.size() > 64) return fail("at most 64 characters");
    (n == "name" ? c.fleet_name : c.group) = value;
  } else if (s == "queue" && n == "lease_seconds") {
    // Daemons are seen every 5 s: a shorter lease takes a live one for gone.
    if (!ReadNumber(value, 15, c.lease_s) || c.lease_s > 86400) return fail("expected a number from 15 to 86400");
  } else if (s == "queue" && n == "keep_days") {
    int days = -1;
    if (!ReadNumber(value, 0, days) || days > 36500) return fail("expected a number of days, 0 to keep everything");
    c.keep_days = days;
  } else {
    return fail("unknown setting");
  }
  return 1;
}

}  // namespace

bool LoadDaemonConfig(const std::string& path, DaemonConfig& config, std::string& error) {
  Reading reading{&config, {}};
  int rc = ini_parse(path.c_str(), Handle, &reading);
  if (rc < 0) {
    error = path + ": cannot open the file";
    return false;
  }
  if (rc > 0) {
    error = path + ":" + std::to_string(rc) + ": " + (reading.error.empty() ? "syntax error" : reading.error);
    return false;
  }
  namespace fs = std::filesystem;
  const fs::path folder = fs::absolute(path).parent_path();
  auto anchor = [&](std::string& p) {
    if (!p.empty() && fs::path(p).is_relative()) p = (folder / p).lexically_normal().string();
  };
  if (config.module_config_dir.empty()) config.module_config_dir = folder.string();
  if (config.database.empty()) config.database = "talvenixd.db";
  if (config.postgresql && config.postgresql_connection.empty()) {
    error = path +
            ": [queue] backend = postgresql needs [queue] postgresql, a connection string such as "
            "host=db.example.net dbname=talvenix user=talvenixd";
    return false;
  }
  if (!config.postgresql && !config.group.empty()) {
    error = path + ": [queue] group: only a queue that several daemons share has groups ([queue] backend = postgresql)";
    return false;
  }
  if (config.fleet_name.empty()) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    config.fleet_name = host;
  }
  anchor(config.module);
  anchor(config.module_config_dir);
  anchor(config.database);
  if (std::string why; !config.webhook_url.empty()) {
    std::string refusal = config.webhook_policy.RefusalOfLiteral(ParseWebhookUrl(config.webhook_url, why)->host);
    if (!refusal.empty()) {
      error = path + ": [webhook] url: " + refusal;
      return false;
    }
  }
  std::map<std::string, std::string> owner;  // digest -> tenant
  for (const Tenant& t : config.tenants)
    for (const std::string& digest : t.key_digests)
      if (auto [it, fresh] = owner.emplace(digest, t.name); !fresh && it->second != t.name) {
        error = path + ": one key is in the tenants " + it->second + " and " + t.name + "; give each key one tenant";
        return false;
      }
  if (owner.empty()) {
    error = path +
            ": [api] key_sha256 is missing: the API needs at least one key. Make a digest with "
            "printf '%s\\n' 'YOUR KEY' | talvenixd --hash-key and write it there as key_sha256 = DIGEST";
    return false;
  }
  return true;
}

}  // namespace talvenix::daemon
