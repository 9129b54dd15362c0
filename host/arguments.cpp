// SPDX-License-Identifier: Apache-2.0
#include "host/arguments.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace talvenix::host {
namespace {

bool LooksLikeOption(const std::string& word) { return word.size() > 2 && word.compare(0, 2, "--") == 0; }

}  // namespace

Arguments::Arguments(std::vector<std::string> words) : words_(std::move(words)) {
  options_end_ = words_.size();
  for (size_t i = 0; i < words_.size(); ++i)
    if (words_[i] == "--") {
      options_end_ = i;
      break;
    }
}

int Arguments::Find(const std::string& name) const {
  for (size_t i = 0; i < options_end_; ++i)
    if (words_[i] == name) return static_cast<int>(i);
  return -1;
}

void Arguments::Fail(std::string error) {
  if (error_.empty()) error_ = std::move(error);
}

bool Arguments::Has(const std::string& name, std::string& value) {
  int at = Find(name);
  if (at < 0) return false;
  size_t i = static_cast<size_t>(at);
  if (i + 1 >= options_end_ || LooksLikeOption(words_[i + 1])) {
    Fail(name + " needs a value");
    words_.erase(words_.begin() + at);
    --options_end_;
    return false;
  }
  value = words_[i + 1];
  words_.erase(words_.begin() + at, words_.begin() + at + 2);
  options_end_ -= 2;
  if (Find(name) >= 0) Fail(name + " is given more than once");
  return true;
}

std::string Arguments::Text(const std::string& name, const std::string& fallback) {
  std::string value;
  return Has(name, value) ? value : fallback;
}

uint64_t Arguments::Number(const std::string& name, uint64_t fallback, uint64_t min, uint64_t max) {
  std::string text;
  if (!Has(name, text)) return fallback;
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value < min || value > max) {
    Fail(name + " takes a whole number from " + std::to_string(min) + " to " + std::to_string(max) + ", not '" + text +
         "'");
    return fallback;
  }
  return value;
}

double Arguments::Seconds(const std::string& name, double fallback) {
  std::string text;
  if (!Has(name, text)) return fallback;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  // A day is plenty for a command that waits; larger values are typing mistakes.
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value < 0 || value > 86400) {
    Fail(name + " takes a number of seconds from 0 to 86400, not '" + text + "'");
    return fallback;
  }
  return value;
}

bool Arguments::Flag(const std::string& name) {
  bool given = false;
  for (int at = Find(name); at >= 0; at = Find(name)) {
    words_.erase(words_.begin() + at);
    --options_end_;
    given = true;
  }
  return given;
}

void Arguments::Require(const std::string& name, const std::string& what) {
  if (Find(name) < 0) Fail("give " + name + " " + what);
}

std::vector<std::string> Arguments::Words(size_t min, size_t max, const std::string& what) {
  std::vector<std::string> words;
  for (size_t i = 0; i < words_.size(); ++i) {
    if (i == options_end_) continue;  // the "--" itself
    if (i < options_end_ && LooksLikeOption(words_[i])) Fail("unknown option " + words_[i]);
    words.push_back(words_[i]);
  }
  if (words.size() < min)
    Fail("give " + what);
  else if (words.size() > max)
    Fail("unexpected argument '" + words[max] + "'");
  return words;
}

int Arguments::UsageError(const std::string& command) const {
  std::fprintf(stderr, "talvenix%s%s: %s (see talvenix --help)\n", command.empty() ? "" : " ", command.c_str(),
               error_.c_str());
  return 2;
}

}  // namespace talvenix::host
