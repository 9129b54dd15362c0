// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one error type that leaves platform/ and support/: what went wrong, in
// words every platform can produce, plus the system's own number for log
// lines. Code outside platform/ decides on kind() only; system_code() and
// Hresult() are printed, never compared, so a Windows implementation can map
// its own codes to the same kinds.

#include <cstdint>

namespace talvenix::platform {

enum class ErrorKind {
  kNone,             // success
  kFailed,           // none of the kinds below
  kNotFound,         // no such file, folder, library or listener
  kExists,           // the name is taken
  kAccessDenied,     // permissions or ownership forbid it
  kNoSpace,          // the disk or a quota is full
  kNoMemory,         // the system is out of memory
  kTooManyOpen,      // out of descriptors
  kIo,               // the device reported an I/O error
  kBusy,             // in use (a read already pending, a lock held)
  kTimedOut,         // waited as long as allowed
  kTryAgain,         // temporarily unavailable (a full queue)
  kInvalidArgument,  // a bad name, handle or argument
  kNotADirectory,    // a folder was expected
  kIsADirectory,     // a file was expected
  kTooLarge,         // more than the caller's limit or the file system's
  kNameTooLong,      // a path that does not fit
  kRefused,          // nobody accepts the connection
  kNotSupported,     // the file system or system cannot do it
  kNotLoadable,      // a library file that cannot be loaded
  kShutDown,         // the object was closed, or is not started
  kPending,          // not failed: the operation completes later (a read on a completion port)
};

class Error {
 public:
  constexpr Error() = default;
  // A failure of our own, which no system call reported.
  constexpr explicit Error(ErrorKind kind) : kind_(kind) {}
  constexpr Error(ErrorKind kind, int system_code) : kind_(kind), system_code_(system_code) {}

  ErrorKind kind() const { return kind_; }
  // The number a log line prints ("[erc: %d]"), always in this platform's
  // own numbering (errno here, the system's error codes on Windows): the
  // system's number of the failure, or for a failure of our own the number
  // this platform gives its kind. 0 only for success.
  int system_code() const;
  // The same as an HRESULT (0x8007xxxx), for log lines that print one; 0 for success.
  int32_t Hresult() const;
  // True when the call failed, so `if (Error e = f())` reads as "if it failed".
  explicit operator bool() const { return kind_ != ErrorKind::kNone; }
  bool operator==(ErrorKind kind) const { return kind_ == kind; }
  // A short readable reason ("no space left on the device").
  const char* Describe() const;

 private:
  ErrorKind kind_ = ErrorKind::kNone;
  int system_code_ = 0;
};

constexpr Error kNoError{};

// The Error for a system error number of this platform (errno on POSIX).
Error ErrorFromSystem(int system_code);
// The Error for the calling thread's last system error.
Error LastSystemError();

}  // namespace talvenix::platform
