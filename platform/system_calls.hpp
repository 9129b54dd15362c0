#pragma once
// Every system call of platform/*_posix.cpp that can fail in a way worth
// testing goes through this one table. Product code only calls through it;
// a test swaps an entry to make, say, the second fsync fail with EIO (see
// tests/common/system_call_faults.hpp). Nothing outside platform/ and the
// tests includes this header.

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace talvenix::platform {

struct SystemCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*read)(int fd, void* buffer, size_t size);
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);
  int (*rename)(const char* from, const char* to);
  int (*linkat)(int from_dir, const char* from, int to_dir, const char* to, int flags);
  int (*unlink)(const char* path);
  int (*fchmod)(int fd, mode_t mode);
  int (*fchown)(int fd, uid_t owner, gid_t group);
  int (*flock)(int fd, int operation);
  void* (*dlopen)(const char* path, int flags);
  int (*socket)(int domain, int type, int protocol);
  int (*bind)(int fd, const sockaddr* address, socklen_t size);
  int (*connect)(int fd, const sockaddr* address, socklen_t size);
  int (*epoll_ctl)(int epoll_fd, int operation, int fd, epoll_event* event);
};

// The table in use. Tests may change entries while no other thread calls
// through them, and must put the originals back.
extern SystemCalls g_system_calls;

}  // namespace talvenix::platform
