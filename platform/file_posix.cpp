#include "platform/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace talvenix::platform {

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

int File::CreateNew(const std::string& path) {
  if (fd_ >= 0) return EEXIST;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  fd_ = fd;
  return 0;
}

int File::CreateUnique(const std::string& folder, const std::string& prefix, const std::string& suffix,
                       std::string& path) {
  if (fd_ >= 0) return EEXIST;
  std::string pattern = folder + prefix + "XXXXXX" + suffix;
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkostemps(name.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
  if (fd < 0) return errno;
  fchmod(fd, 0644);  // mkstemp makes 0600; these files are for the host's sender too
  fd_ = fd;
  path.assign(name.data());
  return 0;
}

int File::OpenForReading(const std::string& path) {
  if (fd_ >= 0) return EEXIST;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  fd_ = fd;
  return 0;
}

int File::WriteAll(const void* data, size_t size) { return platform::WriteAll(fd_, data, size); }

int WriteAll(int fd, const void* data, size_t size) {
  if (fd < 0) return EBADF;
  auto* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

int File::ReadAll(std::string& bytes, size_t limit) {
  if (fd_ < 0) return EBADF;
  bytes.clear();
  char buffer[8192];
  for (;;) {
    ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    if (bytes.size() + static_cast<size_t>(n) > limit) return EFBIG;
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

int File::Sync() {
  if (fd_ < 0) return EBADF;
  return fsync(fd_) == 0 ? 0 : errno;
}

int File::Close() {
  if (fd_ < 0) return 0;
  int result = close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
  return result == EINTR ? 0 : result;  // the descriptor is gone either way
}

int RenameFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0 ? 0 : errno; }

}  // namespace talvenix::platform
