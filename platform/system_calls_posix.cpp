// SPDX-License-Identifier: Apache-2.0
#include "platform/system_calls.hpp"

#include <dlfcn.h>
#include <errno.h>
#include <sys/file.h>
#include <unistd.h>
#include <cstdio>

namespace talvenix::platform {

SystemCalls g_system_calls = {
    .open = [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
    .read = ::read,
    .write = ::write,
    .fsync = ::fsync,
    .lseek = ::lseek,
    .ftruncate = ::ftruncate,
    .rename = ::rename,
    .linkat = ::linkat,
    .unlink = ::unlink,
    .fchmod = ::fchmod,
    .fchown = ::fchown,
    .flock = ::flock,
    .dlopen = ::dlopen,
    .socket = ::socket,
    .bind = ::bind,
    .connect = ::connect,
    .epoll_ctl = ::epoll_ctl,
};

void SetSystemError(int code) { errno = code; }

}  // namespace talvenix::platform
