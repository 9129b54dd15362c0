// SPDX-License-Identifier: Apache-2.0
#include "platform/host_settings.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

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

constexpr std::string_view kBlanks = " \t\r\n\f\v";

std::string_view Trimmed(std::string_view text) {
  size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// A value ends at a ';' that follows a blank (an inline comment).
std::string_view WithoutComment(std::string_view value) {
  for (size_t i = 1; i < value.size(); ++i)
    if (value[i] == ';' && (value[i - 1] == ' ' || value[i - 1] == '\t')) return value.substr(0, i);
  return value;
}

// One line of the file into `values`; false when it is malformed.
bool ParseLine(std::string_view line, std::string& section, std::map<std::string, std::string>& values) {
  line = Trimmed(line);
  if (line.empty() || line.front() == ';' || line.front() == '#') return true;
  if (line.front() == '[') {
    size_t end = line.find(']');
    if (end == std::string_view::npos) return false;
    section = std::string(line.substr(1, end - 1));
    return true;
  }
  size_t split = line.find_first_of("=:");
  if (split == std::string_view::npos) return false;
  std::string_view name = Trimmed(line.substr(0, split));
  values[Key(section, name)] = std::string(Trimmed(WithoutComment(Trimmed(line.substr(split + 1)))));
  return true;
}

}  // namespace

// Sections "[name]", lines "name=value" or "name: value", comments after ';'
// or '#'. Lines may be of any length: a scrambled proxy password alone can
// pass 200 bytes, and a line cut short would drop or change a value.
HostSettings::Status HostSettings::Load(const std::string& path) {
  values_.clear();
  error_line_ = 0;
  error_ = kNoError;
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "r"), &std::fclose);
  if (!file) {
    error_ = LastSystemError();
    return error_ == ErrorKind::kNotFound ? Status::kMissing : Status::kUnreadable;
  }
  std::map<std::string, std::string> values;
  std::string section;
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length;
  for (int number = 1; (length = getline(&buffer, &capacity, file.get())) >= 0; ++number) {
    std::string_view line(buffer, static_cast<size_t>(length));
    if (number == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);  // UTF-8 byte order mark
    if (!ParseLine(line, section, values) && error_line_ == 0) error_line_ = number;
  }
  int read_error = std::ferror(file.get()) ? errno : 0;
  std::free(buffer);
  if (read_error != 0) {
    error_ = ErrorFromSystem(read_error);
    return Status::kUnreadable;
  }
  if (error_line_ != 0) return Status::kMalformed;
  values_ = std::move(values);
  return Status::kLoaded;
}

std::optional<std::string> HostSettings::Get(std::string_view section, std::string_view key) const {
  auto it = values_.find(Key(section, key));
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

}  // namespace talvenix::platform
