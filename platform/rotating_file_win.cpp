// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include "platform/file.hpp"
#include "platform/rotating_file.hpp"
#include "platform/system_calls.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::platform {
namespace {

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

std::optional<uint64_t> RotatingFile::OpenSize() const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(fd_, &size)) return std::nullopt;
  return static_cast<uint64_t>(size.QuadPart);
}

Error RotatingFile::Append(std::string_view line) {
  if (fd_ == kInvalidHandle) {
    if (path_.empty()) return ErrorFromSystem(ERROR_INVALID_HANDLE);
    if (Error error = Reopen()) return error;
  }
  if (RotatedAway()) Reopen();  // renamed by another writer's rotation
  uint64_t size = OpenSize().value_or(0);
  if (size_limit_ > 0 && size > 0 && size + line.size() > size_limit_) RotateUnderLock(line.size());
  return WriteAll(fd_, line.data(), line.size());
}

}  // namespace talvenix::platform
