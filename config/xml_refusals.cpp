// SPDX-License-Identifier: Apache-2.0
#include "config/xml_refusals.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

namespace talvenix {
namespace {

constexpr size_t npos = std::string_view::npos;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsReferenceNameChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
         c == '.' || c == ':' || u >= 0x80;
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// One pass over the text. Each step returns false once refused markup is
// found; constructs that are not well-formed are stepped over for the parser
// to report.
class Scan {
 public:
  Scan(std::string_view text, size_t& offset, std::string& reason) : t_(text), offset_(offset), reason_(reason) {}

  bool Run() {
    size_t at = 0;
    while (at < t_.size()) {
      size_t open = t_.find('<', at);
      if (!References(at, open == npos ? t_.size() : open)) return false;
      if (open == npos) return true;
      std::string_view rest = t_.substr(open);
      if (rest.starts_with("<!--")) {
        at = After(open + 4, "-->");
      } else if (rest.starts_with("<![CDATA[")) {
        at = After(open + 9, "]]>");
      } else if (rest.starts_with("<?")) {
        at = After(open + 2, "?>");
      } else if (rest.starts_with("<!DOCTYPE")) {
        if (!DocumentType(open + 9, at)) return false;
      } else if (rest.starts_with("</") || rest.starts_with("<!")) {
        at = After(open + 1, ">");
      } else if (!StartTag(open + 1, at)) {
        return false;
      }
    }
    return true;
  }

 private:
  bool Refuse(size_t at, std::string why) {
    offset_ = at;
    reason_ = std::move(why);
    return false;
  }

  // The offset just past the next `end` from `from`; the text's end when none.
  size_t After(size_t from, std::string_view end) const {
    size_t at = t_.find(end, from);
    return at == npos ? t_.size() : at + end.size();
  }

  // References in character data or an attribute value, [from, to).
  // The search for '&' stops at `to`: searching on to the document's end
  // for every value would make the scan quadratic in the file's size.
  bool References(size_t from, size_t to) {
    std::string_view range = t_.substr(0, to);
    for (size_t amp = range.find('&', from); amp != npos; amp = range.find('&', amp + 1)) {
      size_t at = amp + 1;
      if (at < to && t_[at] == '#') continue;  // a character reference: the parser checks it
      while (at < to && IsReferenceNameChar(t_[at])) ++at;
      if (at == amp + 1 || at >= to || t_[at] != ';') continue;  // no reference at all
      std::string_view name = t_.substr(amp + 1, at - amp - 1);
      if (name == "lt" || name == "gt" || name == "amp" || name == "quot" || name == "apos") continue;
      return Refuse(amp, "the reference &" + std::string(name) +
                             "; names an entity; entities are not read: write the text itself");
    }
    return true;
  }

  // From just after "<!DOCTYPE" to just after its closing '>' (into `next`).
  bool DocumentType(size_t from, size_t& next) {
    char quote = 0;
    bool in_subset = false;
    for (size_t at = from; at < t_.size(); ++at) {
      char c = t_[at];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (in_subset && t_.substr(at).starts_with("<!--")) {
        at = After(at + 4, "-->") - 1;
      } else if (in_subset && t_.substr(at).starts_with("<!ENTITY")) {
        return Refuse(at,
                      "the document type declares an entity; entities are not read: remove the declaration "
                      "and write the text itself");
      } else if (c == '[') {
        in_subset = true;
      } else if (c == ']') {
        in_subset = false;
      } else if (c == '>' && !in_subset) {
        next = at + 1;
        return true;
      }
    }
    next = t_.size();
    return true;
  }

  // From just after '<' of a start tag to just after its end (into `next`).
  bool StartTag(size_t from, size_t& next) {
    size_t at = from;
    while (at < t_.size() && !IsSpace(t_[at]) && t_[at] != '>' && t_[at] != '/') ++at;
    std::vector<std::string_view>& names = names_;  // kept between tags: no allocation per tag
    names.clear();
    for (;;) {
      while (at < t_.size() && IsSpace(t_[at])) ++at;
      if (at >= t_.size() || t_[at] == '>' || t_[at] == '/') break;
      size_t name_at = at;
      while (at < t_.size() && !IsSpace(t_[at]) && t_[at] != '=' && t_[at] != '>' && t_[at] != '/') ++at;
      std::string_view name = t_.substr(name_at, at - name_at);
      while (at < t_.size() && IsSpace(t_[at])) ++at;
      if (name.empty() || at >= t_.size() || t_[at] != '=') break;
      ++at;
      while (at < t_.size() && IsSpace(t_[at])) ++at;
      if (at >= t_.size() || (t_[at] != '"' && t_[at] != '\'')) break;
      size_t value_end = t_.find(t_[at], at + 1);
      if (value_end == npos) break;
      for (std::string_view earlier : names)
        if (earlier == name)
          return Refuse(name_at, "the attribute " + Quoted(name) + " is given twice on one element: keep one");
      names.push_back(name);
      if (!References(at + 1, value_end)) return false;
      at = value_end + 1;
    }
    next = std::max(at, from);  // not well-formed: go on after what was read, for the parser to report
    if (next < t_.size() && t_[next] == '/') ++next;
    if (next < t_.size() && t_[next] == '>') ++next;
    return true;
  }

  std::string_view t_;
  size_t& offset_;
  std::string& reason_;
  std::vector<std::string_view> names_;  // of the start tag being read
};

}  // namespace

bool AcceptableMarkup(std::string_view text, size_t& offset, std::string& reason) {
  return Scan(text, offset, reason).Run();
}

bool MayHoldRefusedReferences(std::string_view text) {
  // By its '!', which is rare in a document, where '<' is everywhere.
  for (size_t bang = text.find('!'); bang != npos; bang = text.find('!', bang + 1))
    if (bang > 0 && text[bang - 1] == '<' && text.substr(bang + 1, 7) == "DOCTYPE") return true;
  for (size_t amp = text.find('&'); amp != npos; amp = text.find('&', amp + 1)) {
    size_t at = amp + 1;
    if (at < text.size() && text[at] == '#') continue;
    while (at < text.size() && IsReferenceNameChar(text[at])) ++at;
    if (at == amp + 1 || at >= text.size() || text[at] != ';') continue;
    std::string_view name = text.substr(amp + 1, at - amp - 1);
    if (name != "lt" && name != "gt" && name != "amp" && name != "quot" && name != "apos") return true;
  }
  return false;
}

bool MayRepeatAnAttribute(std::string_view text) {
  // Only start tags are read: end tags and character data hold no '<', and
  // values are stepped over by their closing quote. Whatever this walk does
  // not expect (a document type, markup that is not well-formed) answers
  // true, and the full scan decides.
  const char* p = text.data();
  const char* const end = p + text.size();
  auto skip_past = [&](std::string_view mark) {
    std::string_view rest(p, static_cast<size_t>(end - p));
    size_t at = rest.find(mark);
    p = at == npos ? end : p + at + mark.size();
  };
  auto space = [](char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; };
  auto ends_name = [&](char c) { return space(c) || c == '=' || c == '>' || c == '/'; };
  std::string_view names[8];
  while ((p = static_cast<const char*>(std::memchr(p, '<', static_cast<size_t>(end - p)))) && ++p < end) {
    if (*p == '/') continue;
    if (*p == '?') {
      skip_past("?>");
      continue;
    }
    if (*p == '!') {
      std::string_view rest(p, static_cast<size_t>(end - p));
      if (rest.starts_with("!--")) {
        skip_past("-->");
      } else if (rest.starts_with("![CDATA[")) {
        skip_past("]]>");
      } else {
        return true;
      }
      continue;
    }
    while (p < end && !ends_name(*p)) ++p;
    size_t count = 0;
    for (;;) {
      while (p < end && space(*p)) ++p;
      if (p >= end) return true;
      if (*p == '>' || *p == '/') break;
      const char* name = p;
      while (p < end && !ends_name(*p)) ++p;
      std::string_view this_name(name, static_cast<size_t>(p - name));
      while (p < end && (space(*p) || *p == '=')) ++p;
      if (p >= end || (*p != '"' && *p != '\'')) return true;
      const char quote = *p++;
      while (p < end && *p != quote) ++p;  // values are short: a loop beats memchr's set-up
      if (p++ >= end) return true;
      for (size_t i = 0; i < count; ++i)
        if (names[i] == this_name) return true;
      if (count == std::size(names)) return true;  // rare: the full scan compares them all
      names[count++] = this_name;
    }
  }
  return false;
}

}  // namespace talvenix
