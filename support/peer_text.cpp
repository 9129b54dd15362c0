// SPDX-License-Identifier: Apache-2.0
#include "support/peer_text.hpp"

namespace talvenix {
namespace {

// The length of the valid UTF-8 sequence that starts `text` (no overlong
// forms, no surrogates, nothing above U+10FFFF), or 0.
size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  if (lead < 0xC2 || lead > 0xF4 || text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i)
    if ((byte(i) & 0xC0) != 0x80) return 0;
  const unsigned char second = byte(1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) || (lead == 0xF0 && second < 0x90) ||
      (lead == 0xF4 && second >= 0x90))
    return 0;
  return length;
}

}  // namespace

std::string PeerText(std::string_view text, size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t kept = text.size();
  if (kept > limit) {
    kept = limit;
    // Back off to the start of a UTF-8 sequence so the cut leaves valid text.
    while (kept > 0 && (static_cast<unsigned char>(text[kept]) & 0xC0) == 0x80) --kept;
  }
  std::string out;
  out.reserve(kept + 32);
  auto escape = [&out](unsigned char c) {
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
  };
  const std::string_view shown = text.substr(0, kept);
  for (size_t i = 0; i < shown.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(shown[i]);
    if (c >= 0x80) {
      // A log is UTF-8: a whole valid sequence goes as it is, any other byte escaped.
      if (const size_t length = Utf8SequenceLength(shown.substr(i))) {
        out.append(shown.substr(i, length));
        i += length - 1;
      } else {
        escape(c);
      }
      continue;
    }
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          escape(c);
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  if (kept < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}

}  // namespace talvenix
