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

template <typename Char>
std::string Format(const Char* format, va_list args) {
  std::string out;
  if (!format) return out;
  std::basic_string_view<Char> fmt(format);
  std::string scratch;
  char buffer[512];
  size_t i = 0;
  while (i < fmt.size()) {
    size_t next = fmt.find(Char('%'), i);
    if (next == fmt.npos) next = fmt.size();
    out.append(Narrow(fmt.substr(i, next - i), scratch));
    if (next >= fmt.size()) break;
    size_t start = next;  // at '%'
    size_t j = start + 1;
    if (j < fmt.size() && fmt[j] == Char('%')) {
      out += '%';
      i = j + 1;
      continue;
    }
    std::string directive = "%";
    bool left = false;
    while (j < fmt.size() && IsFlag(fmt[j])) {
      if (fmt[j] == Char('-')) left = true;
      directive += static_cast<char>(fmt[j++]);
    }
    int width = -1, precision = -1;
    if (j < fmt.size() && fmt[j] == Char('*')) {
      width = va_arg(args, int);
      if (width < 0) {
        left = true;
        width = -width;
      }
      ++j;
    } else {
      while (j < fmt.size() && IsDigit(fmt[j]))
        width = std::min((width < 0 ? 0 : width * 10) + (fmt[j++] - '0'), 100000);
    }
    if (j < fmt.size() && fmt[j] == Char('.')) {
      ++j;
      precision = 0;
      if (j < fmt.size() && fmt[j] == Char('*')) {
        precision = va_arg(args, int);
        ++j;
      } else {
        while (j < fmt.size() && IsDigit(fmt[j])) precision = std::min(precision * 10 + (fmt[j++] - '0'), 100000);
      }
    }
    if (width > 256) width = 256;  // keeps numeric conversions inside the stack buffer
    Length length = Length::None;
    if (j < fmt.size()) {
      switch (fmt[j]) {
        case 'h':
          ++j;
          length = Length::Short;
          if (j < fmt.size() && fmt[j] == Char('h')) {
            ++j;
            length = Length::Char;
          }
          break;
        case 'l':
          ++j;
          length = Length::Long;
          if (j < fmt.size() && fmt[j] == Char('l')) {
            ++j;
            length = Length::LongLong;
          }
          break;
        case 'z':
          ++j;
          length = Length::SizeT;
          break;
        case 't':
          ++j;
          length = Length::PtrDiff;
          break;
        case 'j':
          ++j;
          length = Length::IntMax;
          break;
        case 'L':
          ++j;
          length = Length::LongDouble;
          break;
        case 'I':
          if (j + 2 < fmt.size() && fmt[j + 1] == Char('6') && fmt[j + 2] == Char('4')) {
            j += 3;
            length = Length::Int64;
          }
          break;
        default:
          break;
      }
    }
    if (j >= fmt.size()) {  // directive runs off the end: print it as text
      out.append(Narrow(fmt.substr(start), scratch));
      break;
    }
    char32_t conv = fmt[j++];
    auto number_spec = [&](const char* length_mod, char c) {
      std::string s = directive;
      if (width >= 0) s += std::to_string(width);
      if (precision >= 0) {
        s += '.';
        s += std::to_string(std::min(precision, 256));
      }
      s += length_mod;
      s += c;
      return s;
    };
    switch (conv) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        char c = static_cast<char>(conv);
        bool is_signed = c == 'd' || c == 'i';
        int n;
        if (length == Length::LongLong || length == Length::Int64 || length == Length::IntMax) {
          n = is_signed ? std::snprintf(buffer, sizeof buffer, number_spec("ll", c).c_str(), va_arg(args, long long))
                        : std::snprintf(buffer, sizeof buffer, number_spec("ll", c).c_str(),
                                        va_arg(args, unsigned long long));
        } else if (length == Length::Long || length == Length::SizeT || length == Length::PtrDiff) {
          n = is_signed
                  ? std::snprintf(buffer, sizeof buffer, number_spec("l", c).c_str(), va_arg(args, long))
                  : std::snprintf(buffer, sizeof buffer, number_spec("l", c).c_str(), va_arg(args, unsigned long));
        } else {
          const char* mod = length == Length::Short ? "h" : length == Length::Char ? "hh" : "";
          n = is_signed ? std::snprintf(buffer, sizeof buffer, number_spec(mod, c).c_str(), va_arg(args, int))
                        : std::snprintf(buffer, sizeof buffer, number_spec(mod, c).c_str(), va_arg(args, unsigned int));
        }
        if (n > 0) out.append(buffer, std::min<size_t>(n, sizeof buffer - 1));
        break;
      }
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        int n = length == Length::LongDouble
                    ? std::snprintf(buffer, sizeof buffer, number_spec("L", static_cast<char>(conv)).c_str(),
                                    va_arg(args, long double))
                    : std::snprintf(buffer, sizeof buffer, number_spec("", static_cast<char>(conv)).c_str(),
                                    va_arg(args, double));
        if (n > 0) out.append(buffer, std::min<size_t>(n, sizeof buffer - 1));
        break;
      }
      case 'p': {
        int n = std::snprintf(buffer, sizeof buffer, "%p", va_arg(args, void*));
        if (n > 0) AppendPadded(out, std::string_view(buffer, std::min<size_t>(n, sizeof buffer - 1)), left, width);
        break;
      }
      case 'c':
      case 'C': {
        char32_t c = static_cast<char32_t>(va_arg(args, int));
        bool wide_arg = (conv == 'C') != std::is_same_v<Char, char16_t> || length == Length::Long;
        std::string one;
        if (wide_arg)
          one = Utf16ToUtf8(std::u16string(1, static_cast<char16_t>(c)));
        else
          one = std::string(1, static_cast<char>(c));
        AppendPadded(out, one, left, width);
        break;
      }
      case 's':
      case 'S': {
        // %s is the format's own width, %S the other one; 'l' / 'h' force wide / narrow.
        bool wide_arg = (conv == 'S') != std::is_same_v<Char, char16_t>;
        if (length == Length::Long) wide_arg = true;
        if (length == Length::Short) wide_arg = false;
        std::string text;
        if (wide_arg) {
          const char16_t* s = va_arg(args, const char16_t*);
          text =
              s ? Utf16ToUtf8(std::u16string_view(s, Utf16Length(s, precision >= 0 ? precision : SIZE_MAX))) : "(null)";
        } else {
          const char* s = va_arg(args, const char*);
          text = s ? std::string(s, strnlen(s, precision >= 0 ? static_cast<size_t>(precision) : SIZE_MAX)) : "(null)";
        }
        AppendPadded(out, text, left, width);
        break;
      }
      default:  // unknown conversion: keep it as text, consume nothing
        out.append(Narrow(fmt.substr(start, j - start), scratch));
        break;
    }
    i = j;
  }
  return out;
}

}  // namespace

std::string FormatPrintf(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  std::string s = Format<char>(format, copy);
  va_end(copy);
  return s;
}

std::string FormatPrintf(const char16_t* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  std::string s = Format<char16_t>(format, copy);
  va_end(copy);
  return s;
}

}  // namespace talvenix
