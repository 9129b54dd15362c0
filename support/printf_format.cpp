// SPDX-License-Identifier: Apache-2.0
#include "support/printf_format.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "support/text_codec.hpp"

namespace talvenix {
namespace {

enum class Length { None, Char, Short, Long, LongLong, SizeT, PtrDiff, IntMax, LongDouble, Int64 };

// Characters of a conversion directive, checked before use: anything else
// ends the directive as malformed.
bool IsFlag(char32_t c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool IsDigit(char32_t c) { return c >= '0' && c <= '9'; }

template <typename Char>
std::string_view Narrow(std::basic_string_view<Char> s, std::string& scratch) {
  if constexpr (std::is_same_v<Char, char>) {
    return s;
  } else {
    scratch = Utf16ToUtf8(s);
    return scratch;
  }
}

// Appends a text with printf width/precision, counted in code units of the
// argument as printf does.
void AppendPadded(std::string& out, std::string_view text, bool left, int width) {
  size_t pad = width > 0 && static_cast<size_t>(width) > text.size() ? width - text.size() : 0;
  if (!left) out.append(pad, ' ');
  out.append(text);
  if (left) out.append(pad, ' ');
}

// One conversion directive as written: "%-8.3ls" gives flags "-", left,
// width 8, precision 3, length Long, conversion 's'.
struct Directive {
  std::string flags = "%";  // '%' and the flags, as written, for snprintf
  bool left = false;
  int width = -1;  // -1: none
  int precision = -1;
  Length length = Length::None;
  char32_t conversion = 0;

  // The snprintf directive of a numeric conversion with these flags, width and precision.
  std::string NumberDirective(const char* length_mod, char c) const {
    std::string s = flags;
    if (width >= 0) s += std::to_string(width);
    if (precision >= 0) {
      s += '.';
      s += std::to_string(std::min(precision, 256));
    }
    s += length_mod;
    s += c;
    return s;
  }
};

// Reads the length modifier at `j`, if any.
template <typename Char>
Length ParseLength(std::basic_string_view<Char> fmt, size_t& j) {
  if (j >= fmt.size()) return Length::None;
  auto next_is = [&](Char c) { return j < fmt.size() && fmt[j] == c; };
  switch (fmt[j]) {
    case 'h':
      ++j;
      if (next_is(Char('h'))) return ++j, Length::Char;
      return Length::Short;
    case 'l':
      ++j;
      if (next_is(Char('l'))) return ++j, Length::LongLong;
      return Length::Long;
    case 'z':
      return ++j, Length::SizeT;
    case 't':
      return ++j, Length::PtrDiff;
    case 'j':
      return ++j, Length::IntMax;
    case 'L':
      return ++j, Length::LongDouble;
    case 'I':
      if (j + 2 < fmt.size() && fmt[j + 1] == Char('6') && fmt[j + 2] == Char('4')) return j += 3, Length::Int64;
      return Length::None;
    default:
      return Length::None;
  }
}

// Parses the directive whose '%' is at fmt[j - 1], taking '*' widths and
// precisions from `args`; `j` ends after the conversion character. False when
// the directive runs off the end of the format.
template <typename Char>
bool ParseDirective(std::basic_string_view<Char> fmt, size_t& j, va_list* args, Directive& d) {
  while (j < fmt.size() && IsFlag(fmt[j])) {
    if (fmt[j] == Char('-')) d.left = true;
    d.flags += static_cast<char>(fmt[j++]);
  }
  if (j < fmt.size() && fmt[j] == Char('*')) {
    d.width = va_arg(*args, int);
    if (d.width < 0) {
      d.left = true;
      d.width = -d.width;
    }
    ++j;
  } else {
    while (j < fmt.size() && IsDigit(fmt[j]))
      d.width = std::min((d.width < 0 ? 0 : d.width * 10) + (fmt[j++] - '0'), 100000);
  }
  if (j < fmt.size() && fmt[j] == Char('.')) {
    ++j;
    d.precision = 0;
    if (j < fmt.size() && fmt[j] == Char('*')) {
      d.precision = va_arg(*args, int);
      ++j;
    } else {
      while (j < fmt.size() && IsDigit(fmt[j])) d.precision = std::min(d.precision * 10 + (fmt[j++] - '0'), 100000);
    }
  }
  if (d.width > 256) d.width = 256;  // keeps numeric conversions inside the stack buffer
  d.length = ParseLength(fmt, j);
  if (j >= fmt.size()) return false;
  d.conversion = fmt[j++];
  return true;
}

// Appends the conversion of the next argument. False, consuming nothing, for
// a conversion character we do not know.
template <typename Char>
bool Convert(const Directive& d, va_list* args, std::string& out) {
  char buffer[512];
  auto append = [&](int n) {
    if (n > 0) out.append(buffer, std::min<size_t>(n, sizeof buffer - 1));
  };
  const Length length = d.length;
  switch (d.conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
      char c = static_cast<char>(d.conversion);
      bool is_signed = c == 'd' || c == 'i';
      if (length == Length::LongLong || length == Length::Int64 || length == Length::IntMax) {
        std::string directive = d.NumberDirective("ll", c);
        append(is_signed ? std::snprintf(buffer, sizeof buffer, directive.c_str(), va_arg(*args, long long))
                         : std::snprintf(buffer, sizeof buffer, directive.c_str(), va_arg(*args, unsigned long long)));
      } else if (length == Length::Long || length == Length::SizeT || length == Length::PtrDiff) {
        std::string directive = d.NumberDirective("l", c);
        append(is_signed ? std::snprintf(buffer, sizeof buffer, directive.c_str(), va_arg(*args, long))
                         : std::snprintf(buffer, sizeof buffer, directive.c_str(), va_arg(*args, unsigned long)));
      } else {
        std::string directive = d.NumberDirective(length == Length::Short ? "h" : length == Length::Char ? "hh" : "", c);
        append(is_signed ? std::snprintf(buffer, sizeof buffer, directive.c_str(), va_arg(*args, int))
                         : std::snprintf(buffer, sizeof buffer, directive.c_str(), va_arg(*args, unsigned int)));
      }
      return true;
    }
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A': {
      char c = static_cast<char>(d.conversion);
      append(length == Length::LongDouble
                 ? std::snprintf(buffer, sizeof buffer, d.NumberDirective("L", c).c_str(), va_arg(*args, long double))
                 : std::snprintf(buffer, sizeof buffer, d.NumberDirective("", c).c_str(), va_arg(*args, double)));
      return true;
    }
    case 'p': {
      int n = std::snprintf(buffer, sizeof buffer, "%p", va_arg(*args, void*));
      if (n > 0) AppendPadded(out, std::string_view(buffer, std::min<size_t>(n, sizeof buffer - 1)), d.left, d.width);
      return true;
    }
    case 'c':
    case 'C': {
      char32_t c = static_cast<char32_t>(va_arg(*args, int));
      bool wide_arg = (d.conversion == 'C') != std::is_same_v<Char, char16_t> || length == Length::Long;
      std::string one =
          wide_arg ? Utf16ToUtf8(std::u16string(1, static_cast<char16_t>(c))) : std::string(1, static_cast<char>(c));
      AppendPadded(out, one, d.left, d.width);
      return true;
    }
    case 's':
    case 'S': {
      // %s is the format's own width, %S the other one; 'l' / 'h' force wide / narrow.
      bool wide_arg = (d.conversion == 'S') != std::is_same_v<Char, char16_t>;
      if (length == Length::Long) wide_arg = true;
      if (length == Length::Short) wide_arg = false;
      size_t limit = d.precision >= 0 ? static_cast<size_t>(d.precision) : SIZE_MAX;
      std::string text;
      if (wide_arg) {
        const char16_t* s = va_arg(*args, const char16_t*);
        text = s ? Utf16ToUtf8(std::u16string_view(s, Utf16Length(s, limit))) : "(null)";
      } else {
        const char* s = va_arg(*args, const char*);
        text = s ? std::string(s, strnlen(s, limit)) : "(null)";
      }
      AppendPadded(out, text, d.left, d.width);
      return true;
    }
    default:
      return false;
  }
}

// The text runs of the format are copied; each directive is parsed, then
// converted. A directive that is malformed or unknown stays as text.
template <typename Char>
std::string Format(const Char* format, va_list* args) {
  std::string out;
  if (!format) return out;
  std::basic_string_view<Char> fmt(format);
  std::string scratch;
  size_t i = 0;
  while (i < fmt.size()) {
    size_t start = std::min(fmt.find(Char('%'), i), fmt.size());
    out.append(Narrow(fmt.substr(i, start - i), scratch));
    if (start >= fmt.size()) break;
    size_t j = start + 1;
    if (j < fmt.size() && fmt[j] == Char('%')) {
      out += '%';
      i = j + 1;
      continue;
    }
    Directive directive;
    if (!ParseDirective(fmt, j, args, directive)) {  // runs off the end: print it as text
      out.append(Narrow(fmt.substr(start), scratch));
      break;
    }
    if (!Convert<Char>(directive, args, out)) out.append(Narrow(fmt.substr(start, j - start), scratch));
    i = j;
  }
  return out;
}

}  // namespace

std::string FormatPrintf(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  std::string s = Format<char>(format, &copy);
  va_end(copy);
  return s;
}

std::string FormatPrintf(const char16_t* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  std::string s = Format<char16_t>(format, &copy);
  va_end(copy);
  return s;
}

}  // namespace talvenix
