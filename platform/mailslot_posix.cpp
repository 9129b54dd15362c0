// SPDX-License-Identifier: Apache-2.0
#include "platform/mailslot.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/mailslot_name.hpp"
#include "platform/system_calls.hpp"

namespace talvenix::platform {
namespace {

SystemCalls& sys = g_system_calls;

Error Address(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return ErrorFromSystem(ENAMETOOLONG);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return kNoError;
}

// Someone has bound and still reads this path.
bool Listening(const sockaddr_un& address) {
  int probe = sys.socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return true;  // cannot tell: do not take the name away
  bool live = sys.connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
              (errno != ECONNREFUSED && errno != ENOENT);
  close(probe);
  return live;
}

}  // namespace

Error PrivateRuntimeFolder(std::string& folder) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  folder = runtime && *runtime ? std::string(runtime) + "/talvenix" : "/tmp/talvenix-" + std::to_string(getuid());
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return LastSystemError();
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0) return LastSystemError();
  if (!S_ISDIR(st.st_mode)) return ErrorFromSystem(ENOTDIR);
  if (st.st_uid != getuid()) return ErrorFromSystem(EACCES);  // someone else made it first: never use it
  if ((st.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0) return LastSystemError();
  return kNoError;
}

Error MailslotPath(std::string_view name, std::string& path) {
  if (!IsLocalMailslotName(name)) return ErrorFromSystem(EINVAL);
  std::string slot(name.substr(kLocalMailslotPrefix.size()));
  std::replace(slot.begin(), slot.end(), '\\', '.');
  std::string folder;
  if (Error error = PrivateRuntimeFolder(folder)) return error;
  path = folder + "/" + slot;
  sockaddr_un address;
  return Address(path, address);
}

// A datagram socket and the address of the mailslot `name`.
static Error DatagramSocket(std::string_view name, std::string& path, sockaddr_un& address, int& fd) {
  if (Error error = MailslotPath(name, path)) return error;
  Address(path, address);
  fd = sys.socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? LastSystemError() : kNoError;
}

Error MailslotReader::Create(std::string_view name) {
  if (fd_ >= 0) return ErrorFromSystem(EEXIST);
  std::string path;
  sockaddr_un address;
  int fd = -1;
  if (Error error = DatagramSocket(name, path, address, fd)) return error;
  for (int attempt = 0;; ++attempt) {
    if (sys.bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) break;
    int error = errno;
    // A socket file without a reader is what a crashed reader leaves behind.
    if (error != EADDRINUSE || attempt > 0 || Listening(address)) {
      close(fd);
      return ErrorFromSystem(error);
    }
    unlink(path.c_str());
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    Error error = LastSystemError();
    close(fd);
    return error;
  }
  fd_ = fd;
  path_ = path;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return kNoError;
}

void MailslotReader::Close() {
  if (fd_ < 0) return;
  struct stat st {};
  // Only our own socket file: a new reader may have taken the name since.
  if (lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) unlink(path_.c_str());
  close(fd_);
  fd_ = -1;
  path_.clear();
}

Error MailslotWriter::Open(std::string_view name) {
  if (fd_ >= 0) return ErrorFromSystem(EEXIST);
  std::string path;
  sockaddr_un address;
  int fd = -1;
  if (Error error = DatagramSocket(name, path, address, fd)) return error;
  timeval timeout{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
  if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0 ||
      sys.connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    Error error = LastSystemError();
    close(fd);
    return error;
  }
  fd_ = fd;
  return kNoError;
}

Error MailslotWriter::Write(const void* data, size_t size) {
  if (fd_ < 0) return ErrorFromSystem(EBADF);
  ssize_t n;
  do n = send(fd_, data, size, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  if (n < 0) return ErrorFromSystem(errno == EWOULDBLOCK ? EAGAIN : errno);
  return static_cast<size_t>(n) == size ? kNoError : ErrorFromSystem(EMSGSIZE);
}

void MailslotWriter::Close() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
}

}  // namespace talvenix::platform
