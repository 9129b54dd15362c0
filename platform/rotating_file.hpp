// SPDX-License-Identifier: Apache-2.0
#pragma once
// A text file that several processes append lines to and rotate by size, such
// as a log shared by a host and a command started beside it. Each line goes
// out in one append, so lines of different writers never mix. Rotation
// (name -> name.1.ext -> ... -> name.N.ext, the last one dropped) happens
// under the exclusive FileLock of "<name>.lock", by one writer; every other writer
// notices before its next line that its file was renamed away and reopens the
// file by name, so no line goes into a file that rotation has already passed.
// One object must be used by one thread at a
// time (the log backend serialises its sink).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.hpp"
#include "platform/native_handle.hpp"

namespace talvenix::platform {

class RotatingFile {
 public:
  RotatingFile() = default;
  ~RotatingFile() { Close(); }
  RotatingFile(const RotatingFile&) = delete;
  RotatingFile& operator=(const RotatingFile&) = delete;

  // Opens (creating) `path` for appending. `size_limit` bytes per file,
  // `rotated_files` older files kept.
  Error Open(const std::string& path, uint64_t size_limit, size_t rotated_files);
  // Appends `line` (which carries its own line end). A failed rotation is not
  // an error: the line then goes into the current file.
  Error Append(std::string_view line);
  void Close();

  // The name of the index-th older file: "Talvenix.log" -> "Talvenix.1.log".
  static std::string RotatedName(const std::string& path, size_t index);

 private:
  Error Reopen();
  // True when `path_` no longer names the file this object has open.
  bool RotatedAway() const;
  void RotateUnderLock(size_t line_size);
  // Size of the file this object has open; nothing when it cannot be told.
  std::optional<uint64_t> OpenSize() const;

  std::string path_;
  uint64_t size_limit_ = 0;
  size_t rotated_files_ = 0;
  NativeHandle fd_ = kInvalidHandle;
};

}  // namespace talvenix::platform
