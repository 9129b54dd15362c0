// SPDX-License-Identifier: Apache-2.0
#pragma once
// Plain files by descriptor, for writers that must publish a file whole: make
// it under a unique or temporary name, write it completely, sync it, then
// rename it to the name readers look for. Every call returns an Error (kNone
// on success) and never throws; objects are not shared between threads.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.hpp"
#include "platform/native_handle.hpp"

namespace talvenix::platform {

// The separator the system's own paths use between folders; '/' is accepted
// as well on every platform.
#if defined(_WIN32)
inline constexpr char kFolderSeparator = '\\';
#else
inline constexpr char kFolderSeparator = '/';
#endif
inline bool IsFolderSeparator(char c) { return c == '/' || c == kFolderSeparator; }

struct FileInfo {
  uint64_t size = 0;
  bool regular = false;     // a plain file, not a folder, device or socket
  int64_t modified_ns = 0;  // last modification, nanoseconds since the epoch
};

class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = kInvalidHandle; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // A new file for writing, mode 0644 before the umask; kExists when the name
  // is taken.
  Error CreateNew(const std::string& path);
  // A new file with a name made of `prefix`, six unique characters and
  // `suffix` in `folder` (which must end with '/'); the name goes to `path`.
  Error CreateUnique(const std::string& folder, const std::string& prefix, const std::string& suffix,
                     std::string& path);
  Error OpenForReading(const std::string& path);

  // Writes every byte (short writes are continued).
  Error WriteAll(const void* data, size_t size);
  // Reads to the end; kTooLarge when the file holds more than `limit` bytes.
  Error ReadAll(std::string& bytes, size_t limit);
  // Reads until `size` bytes or the end of the file; the count goes to `done`.
  Error Read(void* buffer, size_t size, size_t& done);
  Error GetInfo(FileInfo& info);
  // Flushes the contents to the storage device.
  Error Sync();
  // Closes; the result tells whether the last writes reached the file.
  Error Close();

  NativeHandle fd() const { return fd_; }
  bool IsOpen() const { return fd_ != kInvalidHandle; }

 private:
  NativeHandle fd_ = kInvalidHandle;
};

// Writes every byte to a descriptor the caller keeps (short writes are
// continued).
Error WriteAll(NativeHandle fd, const void* data, size_t size);

// Renames within one file system; replaces an existing `to`.
Error RenameFile(const std::string& from, const std::string& to);
Error RemoveFile(const std::string& path);

// Removes the files of `folder` (ending with '/') whose names start with
// `prefix` and end with `suffix` and that were last changed more than
// `older_than` ago: what a writer killed between creating and renaming its
// temporary file left behind. Returns how many it removed.
int RemoveStaleFiles(const std::string& folder, std::string_view prefix, std::string_view suffix,
                     std::chrono::seconds older_than);

// Replaces the file at `path` (through a symbolic link: the file it points
// to) with `bytes` so that readers see the old contents or the new, never a
// part, and a failure at any step leaves the old file and nothing else. The
// new file keeps the old one's mode, owner and group; when the owner cannot be
// given back (not permitted), it goes on only if the old owner can still read
// the result, else kAccessDenied. A new file gets mode 0644. On Windows
// ReplaceFileW keeps the old file's attributes and security instead, and
// links are not followed. On failure
// `failed_step`, when given, says in words which step failed.
Error ReplaceFileContents(const std::string& path, std::string_view bytes, std::string* failed_step = nullptr);

// An exclusive lock on a lock file, held from Acquire until Release or
// destruction. It binds other processes and other FileLock objects of this
// process alike (flock, or LockFileEx on Windows, on its own open file). The
// lock file exists only while someone holds or waits for it: Release removes
// it, and a waiter that finds its file removed meanwhile starts again on the
// new one.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Creates `lock_path` if needed and waits at most `limit` for the lock;
  // kTimedOut when another holder kept it that long. Called on the thread
  // that then does the guarded work; never from two threads on one object.
  Error Acquire(const std::string& lock_path, std::chrono::milliseconds limit);
  void Release();
  bool IsHeld() const { return fd_ != kInvalidHandle; }

 private:
  NativeHandle fd_ = kInvalidHandle;
  std::string path_;
};

// The lock file that guards changes of the document at `path`: beside the
// file it names (following a symbolic link), "<name>.lock".
std::string LockPathFor(const std::string& path);

}  // namespace talvenix::platform
