// SPDX-License-Identifier: Apache-2.0
#pragma once
// The configuration file on disk. Loading reads UTF-8 or UTF-16 text, or
// ISO-8859-1 or Windows-1252 where the declaration names it, refuses bytes
// that are not valid in that encoding, and parses with pugixml keeping
// comments and whitespace. Saving writes the document back in the file's own
// encoding and line ends, with the text before and after the root element
// exactly as read, through a temporary file in the same folder and a rename:
// a failed or interrupted save leaves the old file whole.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace talvenix {

struct XmlFileFormat {
  enum class Encoding { kUtf8, kUtf16LE, kUtf16BE, kLatin1, kWindows1252 };
  Encoding encoding = Encoding::kUtf8;
  bool bom = false;
  bool crlf = false;  // line ends were CR LF
};

struct XmlFileError {
  uint32_t code = 0;  // an XmlError
  int line = 0;       // 1-based; 0 when the error has no place in the text
  int position = 0;   // 1-based character within the line
  std::string reason;
};

// "Parsing error on line %d position %d : %s" for a failed load.
std::string DescribeParseError(const XmlFileError& error);

// How much of the file a load keeps. Reading needs only elements,
// attributes and text; a document that is to be saved keeps comments,
// processing instructions and all whitespace, so the file comes back as it was.
enum class XmlLoadMode { kForReading, kForEditing };

// Where a document loaded for reading came from, to tell later whether the
// file still holds exactly what was parsed.
struct XmlFileSource {
  std::string path;
  int64_t modified_ns = 0;  // taken before the bytes were read
  std::string bytes;        // the file's bytes as read
};

// A loaded document. The text that pugixml parsed in place lives in
// `storage`, declared first so that it outlives the document; `text` is the
// text as read (UTF-8), in which node offsets (offset_debug) count.
struct XmlFileDocument {
  std::unique_ptr<char[]> storage;
  pugi::xml_document document;
  XmlFileFormat format;
  std::string text;
  XmlLoadMode mode = XmlLoadMode::kForEditing;
  XmlFileSource source;  // filled for a document loaded for reading only
  bool changed = false;  // changed in memory since the load: no longer the file's
};

// Largest file we read; anything bigger is not a configuration document.
constexpr size_t kMaxXmlFileBytes = 64u << 20;

// The document at `path`, or null with `error` filled.
std::unique_ptr<XmlFileDocument> LoadXmlFile(const char* path, XmlFileError& error,
                                             XmlLoadMode mode = XmlLoadMode::kForEditing);

// True when `file` was loaded for reading from `path`, has not been changed
// in memory, and the file still has the same size, modification time and
// bytes: the document then stands for the file as it is now, and parsing it
// again would give the same. False on any doubt (the file cannot be read).
bool StillHoldsFile(const char* path, const XmlFileDocument& file);

// Line and character position (both from 1) of a byte offset in UTF-8 text.
void PlaceOf(std::string_view text, size_t offset, int& line, int& position);

// Writes the document to `path` in the format it was read in, with the text
// around the root element as read. False with `error` filled; the file at
// `path` is then unchanged. A document loaded for reading is never saved.
bool SaveXmlFile(const char* path, XmlFileDocument& file, XmlFileError& error);

}  // namespace talvenix
