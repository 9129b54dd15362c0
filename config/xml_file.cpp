// SPDX-License-Identifier: Apache-2.0
#include "config/xml_file.hpp"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>

#include "config/ascii_case.hpp"
#include "config/xml_errors.hpp"
#include "config/xml_refusals.hpp"
#include "config/xml_walk.hpp"
#include "platform/file.hpp"
#include "support/text_codec.hpp"

namespace talvenix {
namespace {

constexpr unsigned kEditingOptions = pugi::parse_full | pugi::parse_ws_pcdata;
// Whitespace alone in an element is its text; whitespace between elements is
// layout. The declaration and instructions are parsed, not skipped, because
// only then does the parser check them: every load refuses the same files.
// Comments and the document type are checked when skipped as well.
constexpr unsigned kReadingOptions =
    pugi::parse_default | pugi::parse_ws_pcdata_single | pugi::parse_declaration | pugi::parse_pi;

std::string SystemError(std::string_view what, const platform::Error& error) {
  return std::string(what) + ": " + error.Describe();
}

bool Fail(XmlFileError& error, uint32_t code, std::string reason, int line = 0, int position = 0) {
  error = {code, line, position, std::move(reason)};
  return false;
}

// The whole file in a buffer of its own, with room for a terminating NUL, and
// its modification time as it was before the bytes were read.
bool ReadWholeFile(const char* path, std::unique_ptr<char[]>& buffer, size_t& size, int64_t& modified_ns,
                   XmlFileError& error) {
  platform::File file;
  if (platform::Error e = file.OpenForReading(path))
    return Fail(error, kXmlErrorCannotRead, SystemError("cannot open the file", e));
  platform::FileInfo info;
  if (platform::Error e = file.GetInfo(info))
    return Fail(error, kXmlErrorCannotRead, SystemError("cannot read the file", e));
  if (!info.regular) return Fail(error, kXmlErrorCannotRead, "not a regular file");
  if (info.size > kMaxXmlFileBytes) return Fail(error, kXmlErrorCannotRead, "the file is larger than 64 MiB");
  modified_ns = info.modified_ns;
  size_t capacity = static_cast<size_t>(info.size);
  buffer = std::make_unique_for_overwrite<char[]>(capacity + 1);
  // The file may have shrunk meanwhile: `size` is what was there.
  platform::Error e = file.Read(buffer.get(), capacity, size);
  buffer[size] = '\0';
  if (e) return Fail(error, kXmlErrorCannotRead, SystemError("cannot read the file", e));
  return true;
}

}  // namespace

void PlaceOf(std::string_view text, size_t offset, int& line, int& position) {
  offset = std::min(offset, text.size());
  line = 1;
  position = 1;
  for (size_t i = 0; i < offset; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      position = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++position;
    }
  }
}

namespace {

// Offset of the first byte that breaks UTF-8, or npos.
size_t FirstInvalidUtf8(std::string_view text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    // Plain ASCII is by far the common case; step over it 32 bytes, then
    // eight bytes at a time.
    while (i + 32 <= n) {
      uint64_t words[4];
      std::memcpy(words, text.data() + i, 32);
      if ((words[0] | words[1] | words[2] | words[3]) & 0x8080808080808080ull) break;
      i += 32;
    }
    while (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      if (word & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    int extra = (b >> 5) == 0x6 ? 1 : (b >> 4) == 0xE ? 2 : (b >> 3) == 0x1E ? 3 : -1;
    if (extra < 0 || i + static_cast<size_t>(extra) >= n) return i;
    char32_t cp = b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      unsigned char c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
    i += static_cast<size_t>(extra) + 1;
  }
  return std::string_view::npos;
}

// UTF-16 bytes (after any byte order mark) to UTF-8; false on an odd length
// or an unpaired surrogate, with the place of the fault.
bool Utf16BytesToUtf8(std::string_view bytes, bool big_endian, std::string& out, XmlFileError& error) {
  if (bytes.size() % 2) return Fail(error, kXmlErrorEncoding, "UTF-16 text with an odd number of bytes");
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    auto hi = static_cast<unsigned char>(bytes[2 * i + (big_endian ? 0 : 1)]);
    auto lo = static_cast<unsigned char>(bytes[2 * i + (big_endian ? 1 : 0)]);
    units[i] = static_cast<char16_t>((hi << 8) | lo);
  }
  for (size_t i = 0; i < units.size(); ++i) {
    bool paired = IsHighSurrogate(units[i]) && i + 1 < units.size() && IsLowSurrogate(units[i + 1]);
    if (paired) {
      ++i;
    } else if (IsHighSurrogate(units[i]) || IsLowSurrogate(units[i])) {
      std::string before = Utf16ToUtf8(std::u16string_view(units).substr(0, i));
      int line, position;
      PlaceOf(before, before.size(), line, position);
      return Fail(error, kXmlErrorEncoding, "unpaired UTF-16 surrogate", line, position);
    }
  }
  out = Utf16ToUtf8(units);
  return true;
}

// The encoding named by the XML declaration, or empty when none is named.
std::string DeclaredEncoding(std::string_view text) {
  if (text.substr(0, 5) != "<?xml") return {};
  size_t end = text.find("?>");
  std::string_view declaration = text.substr(0, end);
  size_t at = declaration.find("encoding");
  if (at == std::string_view::npos) return {};
  size_t quote = declaration.find_first_of("\"'", at);
  if (quote == std::string_view::npos) return {};
  size_t close = declaration.find(declaration[quote], quote + 1);
  if (close == std::string_view::npos) return {};
  return std::string(declaration.substr(quote + 1, close - quote - 1));
}

// The single-byte set a declaration names, if it names one that is read.
std::optional<SingleByteCharset> SingleByteCharsetNamed(const std::string& name) {
  for (const char* latin1 : {"ISO-8859-1", "ISO_8859-1", "ISO8859-1", "LATIN1", "L1", "CP819", "IBM819"})
    if (EqualsIgnoringCase(name, latin1)) return SingleByteCharset::kLatin1;
  for (const char* windows : {"WINDOWS-1252", "CP1252"})
    if (EqualsIgnoringCase(name, windows)) return SingleByteCharset::kWindows1252;
  return std::nullopt;
}

bool DeclaresReadableEncoding(const std::string& name, XmlFileFormat::Encoding encoding) {
  if (name.empty()) return true;
  bool single_byte = encoding == XmlFileFormat::Encoding::kLatin1 || encoding == XmlFileFormat::Encoding::kWindows1252;
  if (single_byte || SingleByteCharsetNamed(name))
    return single_byte;  // a UTF-16 file declaring Latin-1 contradicts itself
  for (const char* known : {"UTF-8", "UTF8", "UTF-16", "UTF16", "UTF-16LE", "UTF-16BE", "US-ASCII", "ASCII"})
    if (EqualsIgnoringCase(name, known)) return true;
  return false;
}

// A character a single-byte file cannot hold is saved as a reference, which
// reads back as the same character.
void AppendCharacterReference(std::string& out, char32_t cp) {
  char reference[16];
  std::snprintf(reference, sizeof reference, "&#x%X;", static_cast<unsigned>(cp));
  out += reference;
}

// Start of the '<' that opens the node whose name or value begins at `offset`.
size_t MarkupStart(std::string_view text, ptrdiff_t offset) {
  if (offset <= 0) return 0;
  size_t at = text.rfind('<', static_cast<size_t>(offset) - 1);
  return at == std::string_view::npos ? 0 : at;
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The text before the root element and after it, written back verbatim
// because pugixml does not keep whitespace outside the root element.
void SplitAroundRoot(std::string_view text, const pugi::xml_document& document, std::string_view& prolog,
                     std::string_view& epilog) {
  pugi::xml_node root = document.document_element();
  if (root.offset_debug() < 0) return;
  size_t root_start = MarkupStart(text, root.offset_debug());
  size_t after = text.size();
  if (pugi::xml_node next = root.next_sibling(); next && next.offset_debug() >= 0)
    after = MarkupStart(text, next.offset_debug());
  while (after > root_start && IsXmlSpace(text[after - 1])) --after;
  prolog = text.substr(0, root_start);
  epilog = text.substr(after);
}

// The '>' ending the start tag that begins at `from`, stepping over quoted values.
size_t StartTagEndSlowly(std::string_view text, size_t from) {
  char quote = 0;
  for (size_t at = from; at < text.size(); ++at) {
    char c = text[at];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      return at;
    }
  }
  return std::string_view::npos;
}

// pugixml writes every element without children as <e/>. An element written
// as <e></e> gets an empty text child, which is written back as <e></e> and
// reads as the same empty text.
void KeepEmptyElementForms(std::string_view text, pugi::xml_node root) {
  for (pugi::xml_node node = root; node; node = NextInDocumentOrder(node, root)) {
    ptrdiff_t name_at = node.first_child() || node.type() != pugi::node_element ? -1 : node.offset_debug();
    if (name_at > 0) {
      // The start tag ends at the first '>' after the closing quote of its last
      // attribute value (values may hold '>'), or after the name.
      size_t from = static_cast<size_t>(name_at);
      if (pugi::xml_attribute last = node.last_attribute()) {
        // Only a value still in the parsed buffer (not changed since) tells where it was in the text.
        auto buffer = reinterpret_cast<uintptr_t>(node.name()) - from;
        auto value = reinterpret_cast<uintptr_t>(last.value());
        size_t value_at = value - buffer;
        bool in_text = value > buffer && value_at <= text.size();
        bool quoted = in_text && (text[value_at - 1] == '"' || text[value_at - 1] == '\'');
        from = quoted ? text.find(text[value_at - 1], value_at) : StartTagEndSlowly(text, from);
      }
      size_t end = from == std::string_view::npos ? from : text.find('>', from);
      if (end != std::string_view::npos && text[end - 1] != '/') node.append_child(pugi::node_pcdata);
    }
  }
}

struct StringWriter : pugi::xml_writer {
  std::string out;
  void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

std::string Serialise(XmlFileDocument& file) {
  const pugi::xml_document& document = file.document;
  const XmlFileFormat& format = file.format;
  std::string_view prolog, epilog;
  SplitAroundRoot(file.text, document, prolog, epilog);
  KeepEmptyElementForms(file.text, document.document_element());
  StringWriter root;
  document.document_element().print(root, PUGIXML_TEXT(""), pugi::format_raw, pugi::encoding_utf8);
  std::string body;
  if (format.crlf) {
    // Text inside the root was read with line ends made LF; put CR LF back.
    body.reserve(root.out.size() + root.out.size() / 32);
    for (char c : root.out) {
      if (c == '\n') body += '\r';
      body += c;
    }
  } else {
    body = std::move(root.out);
  }
  std::string text;
  text.reserve(prolog.size() + body.size() + epilog.size());
  text.append(prolog).append(body).append(epilog);
  if (format.encoding == XmlFileFormat::Encoding::kUtf8) return (format.bom ? "\xEF\xBB\xBF" : "") + text;
  if (format.encoding == XmlFileFormat::Encoding::kLatin1)
    return Utf8ToSingleByte(text, SingleByteCharset::kLatin1, AppendCharacterReference);
  if (format.encoding == XmlFileFormat::Encoding::kWindows1252)
    return Utf8ToSingleByte(text, SingleByteCharset::kWindows1252, AppendCharacterReference);

  bool big_endian = format.encoding == XmlFileFormat::Encoding::kUtf16BE;
  std::u16string units = Utf8ToUtf16(text);
  std::string bytes;
  bytes.reserve(units.size() * 2 + 2);
  auto put = [&](char16_t u) {
    char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    bytes += big_endian ? hi : lo;
    bytes += big_endian ? lo : hi;
  };
  if (format.bom) put(0xFEFF);
  for (char16_t u : units) put(u);
  return bytes;
}

}  // namespace

std::string DescribeParseError(const XmlFileError& error) {
  return "Parsing error on line " + std::to_string(error.line) + " position " + std::to_string(error.position) + " : " +
         error.reason;
}

std::unique_ptr<XmlFileDocument> LoadXmlFile(const char* path, XmlFileError& error, XmlLoadMode mode) {
  error = {};
  if (!path || !*path) {
    Fail(error, kXmlErrorCannotRead, "no file name");
    return nullptr;
  }
  try {
    auto file = std::make_unique<XmlFileDocument>();
    XmlFileFormat& format = file->format;
    size_t size = 0;
    int64_t modified_ns = 0;
    if (!ReadWholeFile(path, file->storage, size, modified_ns, error)) return nullptr;
    std::string_view raw(file->storage.get(), size);
    if (mode == XmlLoadMode::kForReading) file->source = {path, modified_ns, std::string(raw)};
    auto starts = [&](std::string_view prefix) { return raw.substr(0, prefix.size()) == prefix; };
    using std::literals::string_view_literals::operator""sv;

    // The UTF-8 text, parsed in place: the file's own bytes when it is UTF-8.
    char* text_begin = file->storage.get();
    auto adopt = [&](const std::string& converted) {
      file->storage = std::make_unique_for_overwrite<char[]>(converted.size() + 1);
      std::memcpy(file->storage.get(), converted.data(), converted.size() + 1);
      text_begin = file->storage.get();
      size = converted.size();
    };
    if (starts("\xFF\xFE\0\0"sv) || starts("\0\0\xFE\xFF"sv)) {
      Fail(error, kXmlErrorEncoding, "UTF-32 text is not read; save the file as UTF-8");
      return nullptr;
    } else if (starts("\xEF\xBB\xBF"sv)) {
      format.bom = true;
      text_begin += 3;
      size -= 3;
    } else if (starts("\xFF\xFE"sv) || starts("\xFE\xFF"sv) || starts("<\0"sv) || starts("\0<"sv)) {
      format.bom = starts("\xFF\xFE"sv) || starts("\xFE\xFF"sv);
      bool big_endian = raw[0] == '\xFE' || raw[0] == '\0';
      format.encoding = big_endian ? XmlFileFormat::Encoding::kUtf16BE : XmlFileFormat::Encoding::kUtf16LE;
      std::string converted;
      if (!Utf16BytesToUtf8(raw.substr(format.bom ? 2 : 0), big_endian, converted, error)) return nullptr;
      adopt(converted);
    } else if (auto set = SingleByteCharsetNamed(DeclaredEncoding(raw))) {
      format.encoding =
          *set == SingleByteCharset::kLatin1 ? XmlFileFormat::Encoding::kLatin1 : XmlFileFormat::Encoding::kWindows1252;
      adopt(SingleByteToUtf8(raw, *set));
    }
    std::string_view text(text_begin, size);

    if (format.encoding == XmlFileFormat::Encoding::kUtf8) {
      if (size_t bad = FirstInvalidUtf8(text); bad != std::string_view::npos) {
        int line, position;
        PlaceOf(text, bad, line, position);
        Fail(error, kXmlErrorEncoding, "a byte that is not valid UTF-8", line, position);
        return nullptr;
      }
    }
    // The parser would take a NUL for the end of the text and read the rest
    // as if it were not there; XML allows no such character anyway.
    if (size_t nul = text.find('\0'); nul != std::string_view::npos) {
      int line, position;
      PlaceOf(text, nul, line, position);
      Fail(error, kXmlErrorNotWellFormed, "a NUL character, which XML does not allow", line, position);
      return nullptr;
    }
    if (std::string declared = DeclaredEncoding(text); !DeclaresReadableEncoding(declared, format.encoding)) {
      Fail(error, kXmlErrorEncoding,
           "the document declares encoding \"" + declared +
               "\", which this file is not or which is not read (UTF-8, UTF-16, ISO-8859-1, Windows-1252); save "
               "the file as UTF-8",
           1, 1);
      return nullptr;
    }
    // A load for reading scans for refused markup only where quick checks
    // say it may be; when the document does not parse, the load is made
    // again for editing, which scans always and reports a refusal before a
    // fault of form, at its place.
    bool scan = mode == XmlLoadMode::kForEditing || MayHoldRefusedReferences(text) || MayRepeatAnAttribute(text);
    size_t refused_at;
    if (std::string why; scan && !AcceptableMarkup(text, refused_at, why)) {
      int line, position;
      PlaceOf(text, refused_at, line, position);
      Fail(error, kXmlErrorRefusedMarkup, std::move(why), line, position);
      return nullptr;
    }
    size_t first_line_end = text.find('\n');
    format.crlf = first_line_end != std::string::npos && first_line_end > 0 && text[first_line_end - 1] == '\r';
    // Parsing in place changes the buffer; a save needs the text as read.
    if (mode == XmlLoadMode::kForEditing) file->text.assign(text);

    pugi::xml_parse_result result = file->document.load_buffer_inplace(
        text_begin, size, mode == XmlLoadMode::kForEditing ? kEditingOptions : kReadingOptions, pugi::encoding_utf8);
    bool one_root = true;
    for (pugi::xml_node extra = file->document.document_element().next_sibling(); result && extra && one_root;
         extra = extra.next_sibling())
      one_root = extra.type() != pugi::node_element;  // pugixml accepts several; XML does not
    if (!result || !one_root) {
      // The place of the fault is counted in the text as read, which only a
      // load for editing keeps.
      if (mode != XmlLoadMode::kForEditing) return LoadXmlFile(path, error, XmlLoadMode::kForEditing);
      size_t offset = static_cast<size_t>(std::max<ptrdiff_t>(result.offset, 0));
      if (!one_root) {
        pugi::xml_node extra = file->document.document_element().next_sibling();
        while (extra.type() != pugi::node_element) extra = extra.next_sibling();
        offset = MarkupStart(file->text, extra.offset_debug());
      }
      int line, position;
      PlaceOf(file->text, offset, line, position);
      Fail(error, kXmlErrorNotWellFormed, result ? "Only one top level element is allowed" : result.description(), line,
           position);
      return nullptr;
    }
    file->mode = mode;
    return file;
  } catch (const std::bad_alloc&) {
    Fail(error, kXmlErrorOutOfMemory, "out of memory");
    return nullptr;
  }
}

bool StillHoldsFile(const char* path, const XmlFileDocument& file) {
  const XmlFileSource& source = file.source;
  if (file.mode != XmlLoadMode::kForReading || file.changed || !path || source.path.empty() || source.path != path)
    return false;
  platform::File reader;
  platform::FileInfo info;
  if (reader.OpenForReading(path) || reader.GetInfo(info) || !info.regular || info.size != source.bytes.size() ||
      info.modified_ns != source.modified_ns)
    return false;
  char chunk[16384];
  for (size_t at = 0;;) {
    size_t done = 0;
    if (reader.Read(chunk, sizeof chunk, done)) return false;
    if (done == 0) return at == source.bytes.size();
    if (done > source.bytes.size() - at || std::memcmp(chunk, source.bytes.data() + at, done) != 0) return false;
    at += done;
  }
}

bool SaveXmlFile(const char* path, XmlFileDocument& file, XmlFileError& error) {
  error = {};
  if (!path || !*path) return Fail(error, kXmlErrorCannotWrite, "no file name");
  if (!file.document.document_element()) return Fail(error, kXmlErrorNoDocument, "the document has no root element");
  if (file.mode != XmlLoadMode::kForEditing)
    return Fail(error, kXmlErrorNoDocument, "the document was read without its layout and cannot be saved");
  try {
    std::string failed_step;
    if (platform::Error e = platform::ReplaceFileContents(path, Serialise(file), &failed_step))
      return Fail(error, kXmlErrorCannotWrite, SystemError(failed_step, e));
    return true;
  } catch (const std::bad_alloc&) {
    return Fail(error, kXmlErrorOutOfMemory, "out of memory");
  }
}

}  // namespace talvenix
