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

const char* Error::Describe() const {
  if (kind_ == ErrorKind::kNone) return "no error";
  if (system_code_ != 0) return std::strerror(system_code_);
  return kind_ == ErrorKind::kTimedOut ? "timed out" : "failed";
}

}  // namespace talvenix::platform
