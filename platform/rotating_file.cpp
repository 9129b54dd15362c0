// SPDX-License-Identifier: Apache-2.0
#include "platform/rotating_file.hpp"

#include <chrono>

#include "platform/file.hpp"

// What rotation is on every platform; opening and appending are in the
// platform's own file.

namespace talvenix::platform {
namespace {

// How long a writer waits for another one's rotation before it writes
// into the current file anyway (over the limit, but nothing lost or hung).
constexpr auto kLockWait = std::chrono::seconds(2);

}  // namespace

std::string RotatingFile::RotatedName(const std::string& path, size_t index) {
  if (index == 0) return path;
  size_t dot = path.rfind('.');
  size_t slash = path.find_last_of("/\\");
  if (dot == std::string::npos || dot == 0 || dot == path.size() - 1 ||
      (slash != std::string::npos && slash + 1 >= dot))
    return path + "." + std::to_string(index);
  return path.substr(0, dot) + "." + std::to_string(index) + path.substr(dot);
}

Error RotatingFile::Open(const std::string& path, uint64_t size_limit, size_t rotated_files) {
  Close();
  path_ = path;
  size_limit_ = size_limit;
  rotated_files_ = rotated_files;
  return Reopen();
}

void RotatingFile::RotateUnderLock(size_t line_size) {
  FileLock lock;
  if (lock.Acquire(LockPathFor(path_), kLockWait)) return;
  // Another writer may have rotated while this one waited: then its new file
  // is the one to write to, and it is not full.
  if (RotatedAway()) {
    Reopen();
    return;
  }
  std::optional<uint64_t> size = OpenSize();
  if (!size || *size + line_size <= size_limit_) return;
  if (rotated_files_ == 0) {
    RemoveFile(path_);
  } else {
    RemoveFile(RotatedName(path_, rotated_files_));
    for (size_t i = rotated_files_; i > 0; --i) RenameFile(RotatedName(path_, i - 1), RotatedName(path_, i));
  }
  Reopen();
}

}  // namespace talvenix::platform
