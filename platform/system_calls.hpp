// SPDX-License-Identifier: Apache-2.0
#pragma once
// Every system call of platform/ that can fail in a way worth testing goes
// through this one table. Product code only calls through it; a test swaps an
// entry to make, say, the second fsync fail with EIO (see
// tests/common/system_call_faults.hpp). Nothing outside platform/ and the
// tests includes this header.

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace talvenix::platform {

// Every entry fails the same way, so one fault helper serves them all: false
// or a null handle (never INVALID_HANDLE_VALUE), the reason in GetLastError.
struct SystemCalls {
  HANDLE (*create_file)(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
  bool (*read_file)(HANDLE file, void* buffer, DWORD size, DWORD* done, OVERLAPPED* overlapped);
  bool (*write_file)(HANDLE file, const void* data, DWORD size, DWORD* done, OVERLAPPED* overlapped);
  bool (*flush_file_buffers)(HANDLE file);
  bool (*replace_file)(const wchar_t* replaced, const wchar_t* replacement);
  bool (*move_file)(const wchar_t* from, const wchar_t* to, DWORD flags);
  bool (*delete_file)(const wchar_t* path);
  bool (*lock_file)(HANDLE file, DWORD flags, OVERLAPPED* overlapped);
  HMODULE (*load_library)(const wchar_t* path, DWORD flags);  // LoadLibraryExW
  HANDLE (*create_mailslot)(const wchar_t* name, DWORD read_timeout);
  HANDLE (*create_io_completion_port)(HANDLE file, HANDLE port, ULONG_PTR key);
  bool (*create_timer)(HANDLE* timer, HANDLE queue, WAITORTIMERCALLBACK routine, void* context, DWORD due_ms);
};

extern SystemCalls g_system_calls;

// Sets the reason a failed entry leaves for the caller (GetLastError).
void SetSystemError(int code);

}  // namespace talvenix::platform

#else

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
  off_t (*lseek)(int fd, off_t offset, int whence);
  int (*ftruncate)(int fd, off_t size);
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

// Sets the reason a failed entry leaves for the caller (errno).
void SetSystemError(int code);

}  // namespace talvenix::platform

#endif
