#include "support/peer_text.hpp"

namespace talvenix {

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
  for (unsigned char c : text.substr(0, kept)) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  if (kept < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}

}  // namespace talvenix
