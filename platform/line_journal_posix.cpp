// SPDX-License-Identifier: Apache-2.0
#include "platform/line_journal.hpp"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/file.hpp"
#include "platform/system_calls.hpp"

namespace talvenix::platform {

LineJournal::~LineJournal() {
  if (fd_ >= 0) close(fd_);
}

Error LineJournal::Open(const std::string& path) {
  path_ = path;
  fd_ = g_system_calls.open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd_ < 0) return LastSystemError();
  const off_t end = g_system_calls.lseek(fd_, 0, SEEK_END);
  if (end < 0) return LastSystemError();
  size_ = end;
  return kNoError;
}

Error LineJournal::Append(const std::string& line) {
  if (fd_ < 0) return Error(ErrorKind::kShutDown);
  // What a failed write left is cut off before anything else goes in.
  const off_t end = g_system_calls.lseek(fd_, 0, SEEK_END);
  if (end < 0) return LastSystemError();
  if (end != size_ && g_system_calls.ftruncate(fd_, size_) != 0) return LastSystemError();
  const std::string whole = line + "\n";
  const ssize_t n = g_system_calls.write(fd_, whole.data(), whole.size());
  if (n == static_cast<ssize_t>(whole.size())) {
    size_ += n;
    return kNoError;
  }
  // A short write is the disk filling up: the part that went in is cut off.
  Error why = n < 0 ? LastSystemError() : Error(ErrorKind::kNoSpace, ENOSPC);
  if (n > 0) g_system_calls.ftruncate(fd_, size_);  // else the next Append cuts it
  return why;
}

Error LineJournal::Clear() {
  if (fd_ < 0) return Error(ErrorKind::kShutDown);
  if (g_system_calls.ftruncate(fd_, 0) != 0) return LastSystemError();
  size_ = 0;
  return kNoError;
}

Error LineJournal::ReadLines(std::vector<std::string>& lines) const {
  File file;
  if (Error e = file.OpenForReading(path_)) return e;
  std::string bytes;
  if (Error e = file.ReadAll(bytes, 64u << 20)) return e;
  lines.clear();
  for (size_t start = 0; start < bytes.size();) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    lines.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return kNoError;
}

}  // namespace talvenix::platform
