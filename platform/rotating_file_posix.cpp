#include "platform/rotating_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/file.hpp"
#include "platform/system_calls.hpp"

namespace talvenix::platform {
namespace {

// How long a writer waits for another one's rotation before it writes
// into the current file anyway (over the limit, but nothing lost or hung).
constexpr auto kLockWait = std::chrono::seconds(2);

SystemCalls& sys = g_system_calls;

}  // namespace

Error RotatingFile::Reopen() {
  int fd = sys.open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return LastSystemError();
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  return Error();
}

void RotatingFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool RotatingFile::RotatedAway() const {
  struct stat ours {
  }, named{};
  if (::fstat(fd_, &ours) != 0) return true;
  if (::stat(path_.c_str(), &named) != 0) return true;
  return ours.st_ino != named.st_ino || ours.st_dev != named.st_dev;
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
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) + line_size <= size_limit_) return;
  if (rotated_files_ == 0) {
    RemoveFile(path_);
  } else {
    RemoveFile(RotatedName(path_, rotated_files_));
    for (size_t i = rotated_files_; i > 0; --i) RenameFile(RotatedName(path_, i - 1), RotatedName(path_, i));
  }
  Reopen();
}

Error RotatingFile::Append(std::string_view line) {
  if (fd_ < 0) {
    if (path_.empty()) return ErrorFromSystem(EBADF);
    if (Error error = Reopen()) return error;
  }
  if (RotatedAway()) Reopen();  // renamed by another writer's rotation
  struct stat st {};
  if (size_limit_ > 0 && ::fstat(fd_, &st) == 0 && st.st_size > 0 &&
      static_cast<uint64_t>(st.st_size) + line.size() > size_limit_)
    RotateUnderLock(line.size());
  return WriteAll(fd_, line.data(), line.size());
}

}  // namespace talvenix::platform
