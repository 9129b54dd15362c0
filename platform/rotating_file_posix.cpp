// SPDX-License-Identifier: Apache-2.0
#include "platform/rotating_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.hpp"
#include "platform/system_calls.hpp"

namespace talvenix::platform {
namespace {

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

std::optional<uint64_t> RotatingFile::OpenSize() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

Error RotatingFile::Append(std::string_view line) {
  if (fd_ < 0) {
    if (path_.empty()) return ErrorFromSystem(EBADF);
    if (Error error = Reopen()) return error;
  }
  if (RotatedAway()) Reopen();  // renamed by another writer's rotation
  uint64_t size = OpenSize().value_or(0);
  if (size_limit_ > 0 && size > 0 && size + line.size() > size_limit_) RotateUnderLock(line.size());
  return WriteAll(fd_, line.data(), line.size());
}

}  // namespace talvenix::platform
