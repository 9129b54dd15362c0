// SPDX-License-Identifier: Apache-2.0
#pragma once
// A file of whole lines, each appended with one write (O_APPEND): once
// Append returns, the line is in the kernel's hands, which a crash of the
// process cannot undo (a crash of the machine can, before the kernel wrote
// it out: the reader decides what to trust). A torn line, left by a short
// write, is cut off before anything else is written, so it never hides the
// lines after it. Its calls go through the system-call table, so tests can
// make them fail. POSIX only; one thread at a time.

#include <string>
#include <vector>

#include "platform/error.hpp"

namespace talvenix::platform {

class LineJournal {
 public:
  LineJournal() = default;
  ~LineJournal();
  LineJournal(const LineJournal&) = delete;
  LineJournal& operator=(const LineJournal&) = delete;

  // Opens `path`, made with mode 0600 when missing.
  Error Open(const std::string& path);
  // Appends `line` and a newline whole, or nothing: a short write is cut off again.
  Error Append(const std::string& line);
  // Empties the file.
  Error Clear();
  // Its lines as they are now, a torn last one included.
  Error ReadLines(std::vector<std::string>& lines) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
  long long size_ = 0;  // its whole lines: anything after is a torn line's
};

}  // namespace talvenix::platform
