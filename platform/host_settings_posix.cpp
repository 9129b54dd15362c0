#include "platform/host_settings.hpp"

#include <ini.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace talvenix::platform {
namespace {

std::string Key(std::string_view section, std::string_view key) {
  std::string k;
  k.reserve(section.size() + key.size() + 1);
  for (char c : section) k += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  k += '\n';
  for (char c : key) k += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return k;
}

int Store(void* user, const char* section, const char* name, const char* value) {
  auto* values = static_cast<std::map<std::string, std::string>*>(user);
  (*values)[Key(section, name)] = value;
  return 1;
}

}  // namespace

std::string HostSettings::DefaultPath() {
  const char* env = std::getenv("TALVENIX_HOST_SETTINGS");
  return env && *env ? env : "talvenix-host.ini";
}

HostSettings::Status HostSettings::Load(const std::string& path) {
  values_.clear();
  error_line_ = 0;
  error_code_ = 0;
  FILE* file = std::fopen(path.c_str(), "r");
  if (!file) {
    error_code_ = errno;
    return error_code_ == ENOENT ? Status::kMissing : Status::kUnreadable;
  }
  std::map<std::string, std::string> values;
  int result = ini_parse_file(file, Store, &values);
  std::fclose(file);
  if (result != 0) {
    error_line_ = result;
    if (result < 0) {
      error_code_ = ENOMEM;
      return Status::kUnreadable;
    }
    return Status::kMalformed;
  }
  values_ = std::move(values);
  return Status::kLoaded;
}

std::optional<std::string> HostSettings::Get(std::string_view section, std::string_view key) const {
  auto it = values_.find(Key(section, key));
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

}  // namespace talvenix::platform
