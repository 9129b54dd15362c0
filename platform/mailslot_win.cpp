// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include <utility>

#include "platform/mailslot.hpp"
#include "platform/mailslot_name.hpp"
#include "platform/system_calls.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::platform {

Error PrivateRuntimeFolder(std::string& folder) {
  folder.clear();
  return kNoError;
}

Error MailslotPath(std::string_view name, std::string& path) {
  if (!IsLocalMailslotName(name)) return ErrorFromSystem(ERROR_INVALID_NAME);
  if (name.size() >= MAX_PATH) return ErrorFromSystem(ERROR_FILENAME_EXCED_RANGE);
  path = std::string(name);
  return kNoError;
}

Error MailslotReader::Create(std::string_view name) {
  if (IsOpen()) return ErrorFromSystem(ERROR_ALREADY_EXISTS);
  std::string path;
  if (Error error = MailslotPath(name, path)) return error;
  // The system's mailslot handles are asynchronous: reads on them may be overlapped.
  HANDLE handle = g_system_calls.create_mailslot(Wide(path).c_str(), MAILSLOT_WAIT_FOREVER);
  if (!handle) return LastSystemError();
  fd_ = handle;
  return kNoError;
}

void MailslotReader::Close() {
  if (!IsOpen()) return;
  CloseHandle(std::exchange(fd_, kInvalidHandle));
}

Error MailslotWriter::Open(std::string_view name) {
  if (IsOpen()) return ErrorFromSystem(ERROR_ALREADY_EXISTS);
  std::string path;
  if (Error error = MailslotPath(name, path)) return error;
  // Shared for writing too: any number of writers at once. Overlapped, so a
  // write can be given up.
  HANDLE handle = g_system_calls.create_file(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
  if (!handle) return LastSystemError();
  fd_ = handle;
  return kNoError;
}

// Windows queues a mailslot message whole or refuses it at once; Wine waits
// while the reader's queue is full, for ever if the reader has stopped
// reading. A write is given up after kSendTimeoutMs, as on POSIX.
Error MailslotWriter::Write(const void* data, size_t size) {
  if (!IsOpen()) return ErrorFromSystem(ERROR_INVALID_HANDLE);
  OVERLAPPED os{};
  os.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!os.hEvent) return LastSystemError();
  DWORD done = 0;
  bool written = g_system_calls.write_file(fd_, data, static_cast<DWORD>(size), nullptr, &os);
  if (written || GetLastError() == ERROR_IO_PENDING) {
    if (!written && WaitForSingleObject(os.hEvent, kSendTimeoutMs) == WAIT_TIMEOUT) CancelIoEx(fd_, &os);
    written = GetOverlappedResult(fd_, &os, &done, TRUE);
    if (!written && GetLastError() == ERROR_OPERATION_ABORTED) SetLastError(ERROR_RETRY);
  }
  Error error = written ? kNoError : LastSystemError();
  CloseHandle(os.hEvent);
  if (error) return error;
  return done == size ? kNoError : ErrorFromSystem(ERROR_MORE_DATA);
}

void MailslotWriter::Close() {
  if (!IsOpen()) return;
  CloseHandle(std::exchange(fd_, kInvalidHandle));
}

}  // namespace talvenix::platform
