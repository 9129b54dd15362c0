// SPDX-License-Identifier: Apache-2.0
#pragma once
// A serial device opened for one owner: raw 8N1 at a baud rate, no flow
// control, held exclusively (no second process may open it). Reads wait on
// the device and on a Waker, so another thread can interrupt a wait at once.
// One thread uses a port; only Waker::Wake may come from others.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/native_handle.hpp"

namespace talvenix::platform {

// Interrupts waits from any thread. A wake is remembered until a wait sees it.
class Waker {
 public:
  Waker();
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  void Wake();
  // True when woken within timeout_ms (the wake is consumed).
  bool Wait(uint32_t timeout_ms);
  // What a wait on the device waits on too: the reading end of a pipe, or an event.
  NativeHandle fd() const;
  void Drain();

 private:
#if defined(_WIN32)
  NativeHandle event_ = nullptr;
#else
  int fds_[2] = {-1, -1};
#endif
};

// The device of COM<comport> when the host settings name none:
// /dev/ttyUSB<comport-1> (the first USB modem is ttyUSB0), or on Windows the
// port itself, \\.\COM<comport>.
std::string DefaultDevicePath(uint32_t comport);

class SerialPort {
 public:
  enum class Error { kNone, kMissing, kNotATty, kBusy, kDenied, kOther };
  enum class WaitResult { kReadable, kWoken, kTimeout, kGone };

  SerialPort() = default;
  ~SerialPort() { Close(); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens the device; on failure error() and error_text() say why.
  bool Open(const std::string& path, uint32_t baud);
  void Close();
  bool is_open() const { return fd_ != kInvalidHandle; }
  Error error() const { return error_; }
  const std::string& error_text() const { return error_text_; }

  // Waits until the device has bytes, the waker is woken, or time runs out.
  // kGone: the device went away (unplugged, hung up, I/O error).
  WaitResult Wait(Waker& waker, uint32_t timeout_ms);
  // Reads what is there (up to `size`); -1 when the device went away.
  long Read(char* buffer, size_t size);
  // Writes everything within timeout_ms; false on time-out or loss.
  bool Write(std::string_view bytes, uint32_t timeout_ms);

 private:
  NativeHandle fd_ = kInvalidHandle;
#if defined(_WIN32)
  NativeHandle claim_ = nullptr;  // a named object that says the port is taken
  char held_ = 0;                 // the byte whose arrival ended a Wait, for the next Read
  bool has_held_ = false;
#endif
  Error error_ = Error::kNone;
  std::string error_text_;
};

}  // namespace talvenix::platform
