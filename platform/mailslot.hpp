// SPDX-License-Identifier: Apache-2.0
#pragma once
// Local mailslots: one reader, any number of writers, message boundaries kept.
// Names look like "\\.\mailslot\Maker\Product\slot" (UTF-8). On Windows they
// are the system's mailslots. On POSIX a mailslot is an AF_UNIX datagram
// socket bound inside the private runtime folder ($XDG_RUNTIME_DIR/talvenix/,
// else /tmp/talvenix-<uid>/, mode 0700), so only the same user can write to
// it; the part after "\mailslot\" names the socket. Every call returns an
// Error (kNone on success); a reader or writer object is used by one thread
// at a time.

#if !defined(_WIN32)
#include <sys/types.h>
#endif

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/error.hpp"
#include "platform/native_handle.hpp"

namespace talvenix::platform {

// Creates the private runtime folder if needed and checks that it is ours and
// closed to others; its path goes to `folder`. Windows needs none: no error,
// `folder` empty.
Error PrivateRuntimeFolder(std::string& folder);
// The socket path for a mailslot name (on Windows the system's name itself);
// kInvalidArgument for names that are not local mailslot names, kNameTooLong
// when the path does not fit a socket address or the system's name limit.
Error MailslotPath(std::string_view name, std::string& path);

// The reading end. Owns its descriptor and its socket file.
class MailslotReader {
 public:
  MailslotReader() = default;
  ~MailslotReader() { Close(); }
  MailslotReader(const MailslotReader&) = delete;
  MailslotReader& operator=(const MailslotReader&) = delete;

  // kExists when a reader of that name is listening; a socket file left by
  // a reader that died is replaced.
  Error Create(std::string_view name);
  // The handle for reads (a message per read; on Windows opened for
  // overlapped reads), kInvalidHandle when not created.
  NativeHandle fd() const { return fd_; }
  bool IsOpen() const { return fd_ != kInvalidHandle; }
  // Closes the handle and removes the socket file, if it is still ours.
  void Close();

 private:
  NativeHandle fd_ = kInvalidHandle;
#if !defined(_WIN32)
  std::string path_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
#endif
};

// A writing end. Owns its descriptor.
class MailslotWriter {
 public:
  MailslotWriter() = default;
  ~MailslotWriter() { Close(); }
  MailslotWriter(const MailslotWriter&) = delete;
  MailslotWriter& operator=(const MailslotWriter&) = delete;

  // kNotFound or kRefused when nobody listens on that name.
  Error Open(std::string_view name);
  // Writes one message. Waits while the reader's queue is full, at most
  // kSendTimeoutMs (then kTryAgain).
  Error Write(const void* data, size_t size);
  void Close();
  bool IsOpen() const { return fd_ != kInvalidHandle; }

  static constexpr int kSendTimeoutMs = 5000;

 private:
  NativeHandle fd_ = kInvalidHandle;
};

}  // namespace talvenix::platform
