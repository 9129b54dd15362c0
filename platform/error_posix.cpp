// SPDX-License-Identifier: Apache-2.0
#include <cerrno>
#include <cstring>

#include "platform/error.hpp"

namespace talvenix::platform {

Error ErrorFromSystem(int code) {
  switch (code) {
    case 0:
      return kNoError;
    case ENOENT:
    case ESRCH:
      return {ErrorKind::kNotFound, code};
    case EEXIST:
    case EADDRINUSE:
      return {ErrorKind::kExists, code};
    case EACCES:
    case EPERM:
    case EROFS:
      return {ErrorKind::kAccessDenied, code};
    case ENOSPC:
    case EDQUOT:
      return {ErrorKind::kNoSpace, code};
    case ENOMEM:
    case ENOBUFS:
      return {ErrorKind::kNoMemory, code};
    case EMFILE:
    case ENFILE:
      return {ErrorKind::kTooManyOpen, code};
    case EIO:
      return {ErrorKind::kIo, code};
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK:  // also EAGAIN on Linux: a lock or queue that is taken
      return {code == EBUSY || code == ETXTBSY ? ErrorKind::kBusy : ErrorKind::kTryAgain, code};
    case ETIMEDOUT:
      return {ErrorKind::kTimedOut, code};
    case EINVAL:
    case EBADF:
    case ENOTSOCK:
      return {ErrorKind::kInvalidArgument, code};
    case ENOTDIR:
      return {ErrorKind::kNotADirectory, code};
    case EISDIR:
      return {ErrorKind::kIsADirectory, code};
    case EFBIG:
    case EMSGSIZE:
    case EOVERFLOW:
      return {ErrorKind::kTooLarge, code};
    case ENAMETOOLONG:
      return {ErrorKind::kNameTooLong, code};
    case ECONNREFUSED:
      return {ErrorKind::kRefused, code};
    case EOPNOTSUPP:
    case ENOSYS:
    case EXDEV:
      return {ErrorKind::kNotSupported, code};
    case ENOEXEC:
    case ELIBBAD:
      return {ErrorKind::kNotLoadable, code};
    case ESHUTDOWN:
      return {ErrorKind::kShutDown, code};
    default:
      return {ErrorKind::kFailed, code};
  }
}

Error LastSystemError() { return ErrorFromSystem(errno); }

namespace {

// The errno value of each kind, for failures no system call reported.
int KindCode(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNone:
      return 0;
    case ErrorKind::kNotFound:
      return ENOENT;
    case ErrorKind::kExists:
      return EEXIST;
    case ErrorKind::kAccessDenied:
      return EACCES;
    case ErrorKind::kNoSpace:
      return ENOSPC;
    case ErrorKind::kNoMemory:
      return ENOMEM;
    case ErrorKind::kTooManyOpen:
      return EMFILE;
    case ErrorKind::kIo:
    case ErrorKind::kFailed:
      return EIO;
    case ErrorKind::kBusy:
      return EBUSY;
    case ErrorKind::kTimedOut:
      return ETIMEDOUT;
    case ErrorKind::kTryAgain:
      return EAGAIN;
    case ErrorKind::kInvalidArgument:
      return EINVAL;
    case ErrorKind::kNotADirectory:
      return ENOTDIR;
    case ErrorKind::kIsADirectory:
      return EISDIR;
    case ErrorKind::kTooLarge:
      return EFBIG;
    case ErrorKind::kNameTooLong:
      return ENAMETOOLONG;
    case ErrorKind::kRefused:
      return ECONNREFUSED;
    case ErrorKind::kNotSupported:
      return EOPNOTSUPP;
    case ErrorKind::kNotLoadable:
      return ENOEXEC;
    case ErrorKind::kShutDown:
      return ESHUTDOWN;
    case ErrorKind::kPending:
      return EINPROGRESS;
  }
  return EIO;
}

}  // namespace

int Error::system_code() const {
  if (kind_ == ErrorKind::kNone) return 0;
  return system_code_ != 0 ? system_code_ : KindCode(kind_);
}

int32_t Error::Hresult() const {
  int code = system_code();
  return code == 0 ? 0 : static_cast<int32_t>(0x80070000u | (static_cast<uint32_t>(code) & 0xFFFF));
}

const char* Error::Describe() const {
  if (kind_ == ErrorKind::kNone) return "no error";
  return std::strerror(system_code());
}

}  // namespace talvenix::platform
