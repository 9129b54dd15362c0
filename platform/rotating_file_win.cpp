#include <windows.h>

#include <chrono>

#include "platform/file.hpp"
#include "platform/rotating_file.hpp"
#include "platform/system_calls.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::platform {
namespace {

// How long a writer waits for another one's rotation before it writes
// into the current file anyway (over the limit, but nothing lost or hung).
constexpr auto kLockWait = std::chrono::seconds(2);

// The file's identity: the same file under any name.
struct FileId {
  DWORD volume = 0, high = 0, low = 0;
  bool operator==(const FileId&) const = default;
};

bool IdOf(HANDLE handle, FileId& id) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return false;
  id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}

uint64_t SizeOf(HANDLE handle) {
  LARGE_INTEGER size{};
  return GetFileSizeEx(handle, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

}  // namespace

Error RotatingFile::Reopen() {
  // Appending only: every write lands at the end, whoever wrote last. Others
  // may rename or remove the file while it is open here (rotation).
  HANDLE handle = g_system_calls.create_file(Wide(path_).c_str(), FILE_APPEND_DATA,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL);
  if (!handle) return LastSystemError();
  if (fd_ != kInvalidHandle) CloseHandle(fd_);
  fd_ = handle;
  return Error();
}

void RotatingFile::Close() {
  if (fd_ != kInvalidHandle) CloseHandle(fd_);
  fd_ = kInvalidHandle;
}

bool RotatingFile::RotatedAway() const {
  HANDLE named =
      CreateFileW(Wide(path_).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (named == INVALID_HANDLE_VALUE) return true;
  FileId ours, theirs;
  bool same = IdOf(fd_, ours) && IdOf(named, theirs) && ours == theirs;
  CloseHandle(named);
  return !same;
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
  if (SizeOf(fd_) + line_size <= size_limit_) return;
  if (rotated_files_ == 0) {
    RemoveFile(path_);
  } else {
    RemoveFile(RotatedName(path_, rotated_files_));
    for (size_t i = rotated_files_; i > 0; --i) RenameFile(RotatedName(path_, i - 1), RotatedName(path_, i));
  }
  Reopen();
}

Error RotatingFile::Append(std::string_view line) {
  if (fd_ == kInvalidHandle) {
    if (path_.empty()) return ErrorFromSystem(ERROR_INVALID_HANDLE);
    if (Error error = Reopen()) return error;
  }
  if (RotatedAway()) Reopen();  // renamed by another writer's rotation
  uint64_t size = SizeOf(fd_);
  if (size_limit_ > 0 && size > 0 && size + line.size() > size_limit_) RotateUnderLock(line.size());
  return WriteAll(fd_, line.data(), line.size());
}

}  // namespace talvenix::platform
