// SPDX-License-Identifier: Apache-2.0
#include "platform/serial_port.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

namespace talvenix::platform {
namespace {

speed_t SpeedOf(uint32_t baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      return B115200;  // also for 0: the common speed of USB modems
  }
}

}  // namespace

std::string DefaultDevicePath(uint32_t comport) {
  return "/dev/ttyUSB" + std::to_string(comport > 0 ? comport - 1 : 0);
}

Waker::Waker() {
  if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
}

Waker::~Waker() {
  if (fds_[0] >= 0) close(fds_[0]);
  if (fds_[1] >= 0) close(fds_[1]);
}

void Waker::Wake() {
  char one = 1;
  if (fds_[1] >= 0) (void)!write(fds_[1], &one, 1);  // a full pipe is already woken
}

NativeHandle Waker::fd() const { return fds_[0]; }

void Waker::Drain() {
  char buffer[64];
  while (fds_[0] >= 0 && read(fds_[0], buffer, sizeof buffer) > 0) {
  }
}

bool Waker::Wait(uint32_t timeout_ms) {
  pollfd p{fds_[0], POLLIN, 0};
  int n = poll(&p, 1, static_cast<int>(timeout_ms));
  if (n > 0) {
    Drain();
    return true;
  }
  return false;
}

bool SerialPort::Open(const std::string& path, uint32_t baud) {
  Close();
  error_ = Error::kNone;
  error_text_.clear();
  auto fail = [this, &path](Error e, int err) {
    error_ = e;
    error_text_ = path + ": " + strerror(err);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return false;
  };
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    int err = errno;
    return fail(err == ENOENT || err == ENXIO || err == ENODEV ? Error::kMissing
                : err == EACCES                                ? Error::kDenied
                : err == EBUSY                                 ? Error::kBusy
                                                               : Error::kOther,
                err);
  }
  if (!isatty(fd_)) return fail(Error::kNotATty, ENOTTY);
  // Both locks: flock against cooperating programs, TIOCEXCL against any later open.
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0) return fail(Error::kBusy, EBUSY);
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return fail(Error::kOther, errno);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
  t.c_cflag = (t.c_cflag & ~CSIZE) | CS8;
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, SpeedOf(baud));
  cfsetospeed(&t, SpeedOf(baud));
  if (tcsetattr(fd_, TCSANOW, &t) != 0) return fail(Error::kOther, errno);
  (void)ioctl(fd_, TIOCEXCL);
  tcflush(fd_, TCIOFLUSH);
  return true;
}

void SerialPort::Close() {
  if (fd_ < 0) return;
  (void)ioctl(fd_, TIOCNXCL);
  flock(fd_, LOCK_UN);
  close(fd_);
  fd_ = -1;
}

SerialPort::WaitResult SerialPort::Wait(Waker& waker, uint32_t timeout_ms) {
  if (fd_ < 0) return WaitResult::kGone;
  pollfd p[2] = {{fd_, POLLIN, 0}, {waker.fd(), POLLIN, 0}};
  int n = poll(p, 2, static_cast<int>(timeout_ms));
  if (n < 0) return errno == EINTR ? WaitResult::kTimeout : WaitResult::kGone;
  if (n == 0) return WaitResult::kTimeout;
  if (p[1].revents & POLLIN) {
    waker.Drain();
    return WaitResult::kWoken;
  }
  if (p[0].revents & POLLIN) return WaitResult::kReadable;
  if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return WaitResult::kGone;
  return WaitResult::kTimeout;
}

long SerialPort::Read(char* buffer, size_t size) {
  if (fd_ < 0) return -1;
  ssize_t n = read(fd_, buffer, size);
  if (n > 0) return n;
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  return -1;  // 0 bytes after POLLIN, or EIO: the device is gone
}

bool SerialPort::Write(std::string_view bytes, uint32_t timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!bytes.empty()) {
    if (fd_ < 0) return false;
    ssize_t n = write(fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return false;
  }
  return true;
}

}  // namespace talvenix::platform
