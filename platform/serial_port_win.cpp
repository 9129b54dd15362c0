// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include <algorithm>
#include <chrono>

#include "platform/error.hpp"
#include "platform/serial_port.hpp"
#include "platform/system_calls.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::platform {
namespace {

// An event for one overlapped call, closed with it.
struct OverlappedCall {
  OVERLAPPED os{};
  OverlappedCall() { os.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~OverlappedCall() {
    if (os.hEvent) CloseHandle(os.hEvent);
  }
  OverlappedCall(const OverlappedCall&) = delete;
  OverlappedCall& operator=(const OverlappedCall&) = delete;

  // Takes back a call that is still pending: the system must be done with
  // the OVERLAPPED and the buffer before they go.
  void Cancel(HANDLE device) {
    DWORD ignored = 0;
    CancelIoEx(device, &os);
    GetOverlappedResult(device, &os, &ignored, TRUE);
  }
};

// "COM3" and "\\.\COM3" name the same port; only the second reaches COM10 and up.
std::wstring DeviceName(const std::string& path) {
  if (path.rfind("\\\\.\\", 0) == 0) return Wide(path);
  return L"\\\\.\\" + Wide(path);
}

// The named object whose holder owns the port. The system refuses a second
// open of a COM port, but not every system does (Wine shares them); this
// binds every program of ours on any of them.
HANDLE ClaimPort(const std::wstring& device, DWORD& error) {
  std::wstring name = L"talvenix-port-" + device.substr(device.find_last_of(L'\\') + 1);
  CharUpperW(name.data());
  HANDLE claim = CreateMutexW(nullptr, FALSE, name.c_str());
  error = GetLastError();
  if (claim && error == ERROR_ALREADY_EXISTS) {
    CloseHandle(claim);
    return nullptr;
  }
  return claim;
}

// Bytes the port holds, or -1 when it is gone.
long Queued(HANDLE port) {
  DWORD errors = 0;
  COMSTAT status{};
  return ClearCommError(port, &errors, &status) ? static_cast<long>(status.cbInQue) : -1;
}

}  // namespace

std::string DefaultDevicePath(uint32_t comport) { return "\\\\.\\COM" + std::to_string(comport); }

Waker::Waker() { event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr); }

Waker::~Waker() {
  if (event_) CloseHandle(event_);
}

void Waker::Wake() {
  if (event_) SetEvent(event_);
}

void Waker::Drain() {
  if (event_) ResetEvent(event_);
}

NativeHandle Waker::fd() const { return event_; }

bool Waker::Wait(uint32_t timeout_ms) { return event_ && WaitForSingleObject(event_, timeout_ms) == WAIT_OBJECT_0; }

bool SerialPort::Open(const std::string& path, uint32_t baud) {
  Close();
  error_ = Error::kNone;
  error_text_.clear();
  auto fail = [this, &path](Error e, DWORD code) {
    error_ = e;
    error_text_ = path + ": " + platform::ErrorFromSystem(static_cast<int>(code)).Describe();
    Close();
    return false;
  };
  std::wstring device = DeviceName(path);
  DWORD claim_error = 0;
  claim_ = ClaimPort(device, claim_error);
  // Taken: said as the system says it of a COM port that another program has open.
  if (!claim_ && claim_error == ERROR_ALREADY_EXISTS) return fail(Error::kBusy, ERROR_ACCESS_DENIED);
  if (!claim_) return fail(Error::kOther, claim_error);
  // No sharing: a second opener, in this process or another, is refused.
  HANDLE handle =
      g_system_calls.create_file(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
  if (!handle) {
    DWORD code = GetLastError();
    return fail(code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? Error::kMissing
                : code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ? Error::kBusy
                                                                                 : Error::kOther,
                code);
  }
  fd_ = handle;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(fd_, &dcb)) return fail(Error::kNotATty, GetLastError());
  dcb.BaudRate = baud ? baud : CBR_115200;  // 0: the common speed of USB modems
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  if (!SetCommState(fd_, &dcb)) return fail(Error::kOther, GetLastError());
  // No time limits: a read waits until it has every byte it asked for. Wait
  // asks for one byte to learn that input came; Read asks only for what the
  // port already holds. (WaitCommEvent is not used: under Wine it set its
  // event before its result, and waits taken back with CancelIoEx left
  // something behind that crashed the next load of a DLL.)
  COMMTIMEOUTS timeouts{};
  if (!SetCommTimeouts(fd_, &timeouts)) return fail(Error::kOther, GetLastError());
  has_held_ = false;
  PurgeComm(fd_, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return true;
}

void SerialPort::Close() {
  if (fd_ != kInvalidHandle) CloseHandle(fd_);
  fd_ = kInvalidHandle;
  if (claim_) CloseHandle(claim_);
  claim_ = nullptr;
}

SerialPort::WaitResult SerialPort::Wait(Waker& waker, uint32_t timeout_ms) {
  if (fd_ == kInvalidHandle) return WaitResult::kGone;
  if (has_held_) return WaitResult::kReadable;
  long queued = Queued(fd_);
  if (queued != 0) return queued > 0 ? WaitResult::kReadable : WaitResult::kGone;
  OverlappedCall call;
  if (!call.os.hEvent) return WaitResult::kGone;
  DWORD done = 0;
  DWORD which = WAIT_OBJECT_0;
  if (!g_system_calls.read_file(fd_, &held_, 1, &done, &call.os)) {
    if (GetLastError() != ERROR_IO_PENDING) return WaitResult::kGone;
    HANDLE events[2] = {call.os.hEvent, waker.fd()};
    which = WaitForMultipleObjects(waker.fd() ? 2 : 1, events, FALSE, timeout_ms);
    if (which != WAIT_OBJECT_0) CancelIoEx(fd_, &call.os);
    // Done, taken back or failed: the system is through with the call here.
    if (!GetOverlappedResult(fd_, &call.os, &done, TRUE) && GetLastError() != ERROR_OPERATION_ABORTED)
      return WaitResult::kGone;
  }
  has_held_ = done == 1;  // a byte that came while the wait was being taken back is kept too
  if (has_held_) return WaitResult::kReadable;
  if (which == WAIT_OBJECT_0 + 1) return WaitResult::kWoken;
  return which == WAIT_TIMEOUT ? WaitResult::kTimeout : WaitResult::kGone;  // an end of input: hung up
}

long SerialPort::Read(char* buffer, size_t size) {
  if (fd_ == kInvalidHandle) return -1;
  size_t got = 0;
  if (has_held_ && size > 0) {
    buffer[got++] = held_;
    has_held_ = false;
  }
  long queued = Queued(fd_);
  if (queued < 0) return got > 0 ? static_cast<long>(got) : -1;
  DWORD want = static_cast<DWORD>(std::min<size_t>(static_cast<size_t>(queued), size - got));
  if (want == 0) return static_cast<long>(got);
  OverlappedCall call;
  DWORD done = 0;
  // The bytes are there already, so the read ends at once.
  if (!g_system_calls.read_file(fd_, buffer + got, want, &done, &call.os)) {
    if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(fd_, &call.os, &done, TRUE))
      return got > 0 ? static_cast<long>(got) : -1;
  }
  return static_cast<long>(got + done);
}

bool SerialPort::Write(std::string_view bytes, uint32_t timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!bytes.empty()) {
    if (fd_ == kInvalidHandle) return false;
    OverlappedCall call;
    DWORD done = 0;
    if (!g_system_calls.write_file(fd_, bytes.data(), static_cast<DWORD>(bytes.size()), &done, &call.os)) {
      if (GetLastError() != ERROR_IO_PENDING) return false;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (WaitForSingleObject(call.os.hEvent, static_cast<DWORD>(std::max<int64_t>(left.count(), 0))) != WAIT_OBJECT_0) {
        call.Cancel(fd_);
        return false;
      }
      if (!GetOverlappedResult(fd_, &call.os, &done, FALSE)) return false;
    }
    if (done == 0 && std::chrono::steady_clock::now() >= deadline) return false;
    bytes.remove_prefix(done);
  }
  return true;
}

}  // namespace talvenix::platform
