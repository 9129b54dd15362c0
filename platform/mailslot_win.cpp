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
  HANDLE handle = g_system_calls.create_file(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL);
  if (!handle) return LastSystemError();
  fd_ = handle;
  return kNoError;
}

// A mailslot write never waits for the reader: the message is queued whole or refused.
Error MailslotWriter::Write(const void* data, size_t size) {
  if (!IsOpen()) return ErrorFromSystem(ERROR_INVALID_HANDLE);
  DWORD done = 0;
  if (!g_system_calls.write_file(fd_, data, static_cast<DWORD>(size), &done, nullptr)) return LastSystemError();
  return done == size ? kNoError : ErrorFromSystem(ERROR_MORE_DATA);
}

void MailslotWriter::Close() {
  if (!IsOpen()) return;
  CloseHandle(std::exchange(fd_, kInvalidHandle));
}

}  // namespace talvenix::platform
