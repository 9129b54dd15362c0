// SPDX-License-Identifier: Apache-2.0
#pragma once
// The line protocol between a test program that cannot open a pseudo-terminal
// and modem_sim_server, which runs its simulators: a request is a line of
// words, a verb first; the answer is one line of words, or "error <text>".
// Texts travel as "x" and their bytes in hex, so blanks, line ends and
// quotes cross unharmed and an empty text is still a word.

#include <string>
#include <string_view>
#include <vector>

namespace talvenix::testing::wire {

inline std::string Text(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out = "x";
  for (unsigned char c : text) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0xF]);
  }
  return out;
}

// The text of a word made by Text; what is not one gives nothing.
inline std::string FromText(std::string_view word) {
  auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  std::string out;
  for (size_t i = 1; i + 1 < word.size(); i += 2)
    out.push_back(static_cast<char>(nibble(word[i]) << 4 | nibble(word[i + 1])));
  return out;
}

inline std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start < line.size()) {
    size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    if (end > start) words.emplace_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

}  // namespace talvenix::testing::wire
