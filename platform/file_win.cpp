// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <utility>

#include "platform/file.hpp"
#include "platform/system_calls.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::platform {
namespace {

SystemCalls& sys = g_system_calls;

// Open files may be renamed or removed by others, as on POSIX.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// FILETIME counts 100 ns from 1601; FileInfo counts nanoseconds from 1970.
constexpr int64_t kEpochIn100ns = 116444736000000000;

int64_t UnixNanoseconds(const FILETIME& time) {
  int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return (ticks - kEpochIn100ns) * 100;
}

HANDLE Open(const std::string& path, DWORD access, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  HANDLE handle = sys.create_file(Wide(path).c_str(), access, kShareAll, disposition, flags);
  return handle ? handle : INVALID_HANDLE_VALUE;
}

// Six characters for a unique name; never the same twice in one process.
std::string UniqueCharacters() {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";  // names ignore case here
  static std::atomic<uint64_t> counter{std::random_device{}()};
  uint64_t n = counter.fetch_add(0x9E3779B97F4A7C15ull) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 20);
  std::string out(6, 'a');
  for (char& c : out) {
    c = kAlphabet[n % (sizeof kAlphabet - 1)];
    n /= sizeof kAlphabet - 1;
  }
  return out;
}

Error OpenUnique(const std::string& folder, const std::string& prefix, const std::string& suffix, DWORD attributes,
                 std::string& path, HANDLE& handle) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = folder + prefix + UniqueCharacters() + suffix;
    handle = Open(path, GENERIC_WRITE, CREATE_NEW, attributes);
    if (handle != INVALID_HANDLE_VALUE) return kNoError;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return ErrorFromSystem(static_cast<int>(error));
  }
  return ErrorFromSystem(ERROR_FILE_EXISTS);
}

// ReplaceFileW refuses names relative to the working folder.
std::wstring FullPath(const std::string& path) {
  std::wstring wide = Wide(path);
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return wide;  // the call that uses it reports the problem
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  full.resize(n);
  return full;
}

size_t FolderEnd(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? 0 : slash + 1;
}

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, kInvalidHandle);
  }
  return *this;
}

Error File::CreateNew(const std::string& path) {
  if (IsOpen()) return ErrorFromSystem(ERROR_ALREADY_EXISTS);
  HANDLE handle = Open(path, GENERIC_WRITE, CREATE_NEW);
  if (handle == INVALID_HANDLE_VALUE) return LastSystemError();
  fd_ = handle;
  return kNoError;
}

Error File::CreateUnique(const std::string& folder, const std::string& prefix, const std::string& suffix,
                         std::string& path) {
  if (IsOpen()) return ErrorFromSystem(ERROR_ALREADY_EXISTS);
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (Error error = OpenUnique(folder, prefix, suffix, FILE_ATTRIBUTE_NORMAL, path, handle)) return error;
  fd_ = handle;
  return kNoError;
}

Error File::OpenForReading(const std::string& path) {
  if (IsOpen()) return ErrorFromSystem(ERROR_ALREADY_EXISTS);
  HANDLE handle = Open(path, GENERIC_READ, OPEN_EXISTING);
  if (handle == INVALID_HANDLE_VALUE) return LastSystemError();
  fd_ = handle;
  return kNoError;
}

Error File::WriteAll(const void* data, size_t size) { return platform::WriteAll(fd_, data, size); }

Error WriteAll(NativeHandle fd, const void* data, size_t size) {
  if (fd == kInvalidHandle) return ErrorFromSystem(ERROR_INVALID_HANDLE);
  auto* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD done = 0;
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    if (!sys.write_file(fd, p, chunk, &done, nullptr)) return LastSystemError();
    p += done;
    size -= done;
  }
  return kNoError;
}

Error File::Read(void* buffer, size_t size, size_t& done) {
  done = 0;
  if (!IsOpen()) return ErrorFromSystem(ERROR_INVALID_HANDLE);
  auto* p = static_cast<char*>(buffer);
  while (done < size) {
    DWORD n = 0;
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
    if (!sys.read_file(fd_, p + done, chunk, &n, nullptr)) {
      if (GetLastError() == ERROR_HANDLE_EOF || GetLastError() == ERROR_BROKEN_PIPE) break;
      return LastSystemError();
    }
    if (n == 0) break;
    done += n;
  }
  return kNoError;
}

Error File::ReadAll(std::string& bytes, size_t limit) {
  if (!IsOpen()) return ErrorFromSystem(ERROR_INVALID_HANDLE);
  bytes.clear();
  char buffer[8192];
  for (;;) {
    size_t n = 0;
    if (Error error = Read(buffer, sizeof buffer, n)) return error;
    if (bytes.size() + n > limit) return ErrorFromSystem(ERROR_FILE_TOO_LARGE);
    bytes.append(buffer, n);
    if (n < sizeof buffer) return kNoError;
  }
}

Error File::GetInfo(FileInfo& info) {
  BY_HANDLE_FILE_INFORMATION data{};
  if (!GetFileInformationByHandle(fd_, &data)) return LastSystemError();
  info.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  info.regular = (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0 &&
                 GetFileType(fd_) == FILE_TYPE_DISK;
  info.modified_ns = UnixNanoseconds(data.ftLastWriteTime);
  return kNoError;
}

Error File::Sync() {
  if (!IsOpen()) return ErrorFromSystem(ERROR_INVALID_HANDLE);
  return sys.flush_file_buffers(fd_) ? kNoError : LastSystemError();
}

Error File::Close() {
  if (!IsOpen()) return kNoError;
  return CloseHandle(std::exchange(fd_, kInvalidHandle)) ? kNoError : LastSystemError();
}

Error RenameFile(const std::string& from, const std::string& to) {
  return sys.move_file(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) ? kNoError
                                                                                         : LastSystemError();
}

Error RemoveFile(const std::string& path) {
  return sys.delete_file(Wide(path).c_str()) ? kNoError : LastSystemError();
}

int RemoveStaleFiles(const std::string& folder, std::string_view prefix, std::string_view suffix,
                     std::chrono::seconds older_than) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(Wide((folder.empty() ? std::string(".\\") : folder) + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  FILETIME now_time{};
  GetSystemTimeAsFileTime(&now_time);
  int64_t limit = UnixNanoseconds(now_time) - std::chrono::nanoseconds(older_than).count();
  int removed = 0;
  do {
    std::string name = Utf8(found.cFileName);
    if (name.size() < prefix.size() + suffix.size() || std::string_view(name).substr(0, prefix.size()) != prefix ||
        std::string_view(name).substr(name.size() - suffix.size()) != suffix)
      continue;
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    if (UnixNanoseconds(found.ftLastWriteTime) > limit) continue;
    if (sys.delete_file(Wide(folder + name).c_str())) ++removed;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return removed;
}

// ---- Replacing a file whole -------------------------------------------------

namespace {

constexpr std::chrono::seconds kStaleAfter{60};

}  // namespace

// The new contents go to a hidden file beside the old one, reach the disk,
// and then take its place in one step: ReplaceFileW keeps the old file's
// attributes and security; a new file is moved into place with write-through.
Error ReplaceFileContents(const std::string& path, std::string_view bytes, std::string* failed_step) {
  std::string ignored;
  std::string& step = failed_step ? *failed_step : ignored;
  std::string folder = path.substr(0, FolderEnd(path));
  std::string prefix = "." + path.substr(folder.size()) + ".saving-";
  RemoveStaleFiles(folder, prefix, "", kStaleAfter);

  step = "cannot create a file beside " + path;
  std::string temporary;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (Error error = OpenUnique(folder, prefix, "", FILE_ATTRIBUTE_HIDDEN, temporary, handle)) return error;
  struct Discard {
    std::string& path;
    ~Discard() {
      if (!path.empty()) sys.delete_file(Wide(path).c_str());
    }
  } discard{temporary};

  step = "cannot write " + path;
  Error error = WriteAll(handle, bytes.data(), bytes.size());
  if (!error && !sys.flush_file_buffers(handle)) error = LastSystemError();
  if (!CloseHandle(handle) && !error) error = LastSystemError();
  if (error) return error;

  step = "cannot replace " + path;
  std::wstring target = FullPath(path), replacement = FullPath(temporary);
  // Hidden only while it was not the file yet.
  if (!SetFileAttributesW(replacement.c_str(), FILE_ATTRIBUTE_NORMAL)) return LastSystemError();
  bool exists = GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES;
  DWORD failure = ERROR_SUCCESS;
  if (exists && !sys.replace_file(target.c_str(), replacement.c_str())) failure = GetLastError();
  // A new file is moved into place; so are the new contents when ReplaceFileW
  // removed the old file but could not rename ours, which leaves no file.
  if (!exists || failure == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
    if (!sys.move_file(replacement.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return LastSystemError();
  } else if (failure != ERROR_SUCCESS) {
    return ErrorFromSystem(static_cast<int>(failure));
  }
  temporary.clear();  // it is the file now
  step.clear();
  return kNoError;
}

// ---- Locking ----------------------------------------------------------------

namespace {

// True when the lock file was removed by the holder before us: locking it
// would guard nothing, as the next opener gets a new file.
bool DeletePending(HANDLE handle) {
  FILE_STANDARD_INFO info{};
  return GetFileInformationByHandleEx(handle, FileStandardInfo, &info, sizeof info) && info.DeletePending;
}

}  // namespace

Error FileLock::Acquire(const std::string& lock_path, std::chrono::milliseconds limit) {
  Release();
  auto deadline = std::chrono::steady_clock::now() + limit;
  auto pause = std::chrono::milliseconds(1);
  auto wait = [&] {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
    return true;
  };
  for (;;) {
    HANDLE handle = Open(lock_path, GENERIC_READ | GENERIC_WRITE | DELETE, OPEN_ALWAYS);
    if (handle == INVALID_HANDLE_VALUE) {
      // A lock file being removed cannot be opened until its last holder closes it.
      Error error = LastSystemError();
      if (error.kind() == ErrorKind::kAccessDenied && wait()) continue;
      return error;
    }
    OVERLAPPED whole{};
    if (sys.lock_file(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, &whole)) {
      if (!DeletePending(handle)) {
        fd_ = handle;
        path_ = lock_path;
        return kNoError;
      }
      CloseHandle(handle);
      if (!wait()) return Error(ErrorKind::kTimedOut);
      continue;
    }
    Error error = LastSystemError();
    CloseHandle(handle);
    if (error.system_code() != ERROR_LOCK_VIOLATION && error.system_code() != ERROR_IO_PENDING) return error;
    if (!wait()) return Error(ErrorKind::kTimedOut);
  }
}

void FileLock::Release() {
  if (!IsHeld()) return;
  // Marked for removal while still locked, so nobody can lock this file and think it current.
  FILE_DISPOSITION_INFO remove{TRUE};
  SetFileInformationByHandle(fd_, FileDispositionInfo, &remove, sizeof remove);
  OVERLAPPED whole{};
  UnlockFileEx(fd_, 0, MAXDWORD, MAXDWORD, &whole);
  CloseHandle(std::exchange(fd_, kInvalidHandle));
  path_.clear();
}

std::string LockPathFor(const std::string& path) { return path + ".lock"; }

}  // namespace talvenix::platform
