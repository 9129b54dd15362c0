// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include "platform/error.hpp"

namespace talvenix::platform {
namespace {

// kDirectoryNotSupported, newer than MinGW's headers.
constexpr DWORD kDirectoryNotSupported = 336;

}  // namespace

Error ErrorFromSystem(int code) {
  switch (static_cast<DWORD>(code)) {
    case ERROR_SUCCESS:
      return kNoError;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_MOD_NOT_FOUND:
    case ERROR_PROC_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return {ErrorKind::kNotFound, code};
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return {ErrorKind::kExists, code};
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
      return {ErrorKind::kAccessDenied, code};
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return {ErrorKind::kNoSpace, code};
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
      return {ErrorKind::kNoMemory, code};
    case ERROR_TOO_MANY_OPEN_FILES:
      return {ErrorKind::kTooManyOpen, code};
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_CRC:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
    case ERROR_DEVICE_NOT_CONNECTED:
      return {ErrorKind::kIo, code};
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
    case ERROR_PIPE_BUSY:
      return {ErrorKind::kBusy, code};
    case ERROR_TIMEOUT:
    case WAIT_TIMEOUT:
    case ERROR_SEM_TIMEOUT:
      return {ErrorKind::kTimedOut, code};
    case ERROR_NO_DATA:
    case ERROR_RETRY:
      return {ErrorKind::kTryAgain, code};
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return {ErrorKind::kInvalidArgument, code};
    case ERROR_DIRECTORY:
      return {ErrorKind::kNotADirectory, code};
    case kDirectoryNotSupported:
      return {ErrorKind::kIsADirectory, code};
    case ERROR_FILE_TOO_LARGE:
    case ERROR_INSUFFICIENT_BUFFER:
    case ERROR_MORE_DATA:
    case ERROR_ARITHMETIC_OVERFLOW:
      return {ErrorKind::kTooLarge, code};
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
      return {ErrorKind::kNameTooLong, code};
    case ERROR_CONNECTION_REFUSED:
    case ERROR_PIPE_NOT_CONNECTED:
      return {ErrorKind::kRefused, code};
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED:
    case ERROR_NOT_SAME_DEVICE:
      return {ErrorKind::kNotSupported, code};
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_BAD_FORMAT:
    case ERROR_DLL_INIT_FAILED:
      return {ErrorKind::kNotLoadable, code};
    case ERROR_OPERATION_ABORTED:
    case ERROR_ABANDONED_WAIT_0:
    case ERROR_SHUTDOWN_IN_PROGRESS:
      return {ErrorKind::kShutDown, code};
    case ERROR_IO_PENDING:
      return {ErrorKind::kPending, code};
    default:
      return {ErrorKind::kFailed, code};
  }
}

Error LastSystemError() { return ErrorFromSystem(static_cast<int>(GetLastError())); }

namespace {

// The system's error code of each kind, for failures no system call reported.
DWORD KindCode(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNone:
      return ERROR_SUCCESS;
    case ErrorKind::kFailed:
      return ERROR_GEN_FAILURE;
    case ErrorKind::kNotFound:
      return ERROR_FILE_NOT_FOUND;
    case ErrorKind::kExists:
      return ERROR_ALREADY_EXISTS;
    case ErrorKind::kAccessDenied:
      return ERROR_ACCESS_DENIED;
    case ErrorKind::kNoSpace:
      return ERROR_DISK_FULL;
    case ErrorKind::kNoMemory:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ErrorKind::kTooManyOpen:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ErrorKind::kIo:
      return ERROR_IO_DEVICE;
    case ErrorKind::kBusy:
      return ERROR_BUSY;
    case ErrorKind::kTimedOut:
      return ERROR_TIMEOUT;
    case ErrorKind::kTryAgain:
      return ERROR_RETRY;
    case ErrorKind::kInvalidArgument:
      return ERROR_INVALID_PARAMETER;
    case ErrorKind::kNotADirectory:
      return ERROR_DIRECTORY;
    case ErrorKind::kIsADirectory:
      return kDirectoryNotSupported;
    case ErrorKind::kTooLarge:
      return ERROR_FILE_TOO_LARGE;
    case ErrorKind::kNameTooLong:
      return ERROR_FILENAME_EXCED_RANGE;
    case ErrorKind::kRefused:
      return ERROR_CONNECTION_REFUSED;
    case ErrorKind::kNotSupported:
      return ERROR_NOT_SUPPORTED;
    case ErrorKind::kNotLoadable:
      return ERROR_BAD_EXE_FORMAT;
    case ErrorKind::kShutDown:
      return ERROR_OPERATION_ABORTED;
    case ErrorKind::kPending:
      return ERROR_IO_PENDING;
  }
  return ERROR_GEN_FAILURE;
}

}  // namespace

int Error::system_code() const {
  if (kind_ == ErrorKind::kNone) return 0;
  return system_code_ != 0 ? system_code_ : static_cast<int>(KindCode(kind_));
}

int32_t Error::Hresult() const {
  DWORD code = static_cast<DWORD>(system_code());
  return code == 0 ? 0 : static_cast<int32_t>(HRESULT_FROM_WIN32(code));
}

const char* Error::Describe() const {
  if (kind_ == ErrorKind::kNone) return "no error";
  // Per thread, like strerror's buffer; English wording regardless of the
  // user's language, so log lines read the same everywhere.
  thread_local char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(system_code()), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
                           sizeof text, nullptr);
  if (n == 0)
    n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(system_code()), 0, text, sizeof text, nullptr);
  if (n == 0) {
    wsprintfA(text, "system error %lu", static_cast<unsigned long>(system_code()));
    return text;
  }
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.' || text[n - 1] == ' ')) --n;
  text[n] = '\0';
  return text;
}

}  // namespace talvenix::platform
