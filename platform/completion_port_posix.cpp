// SPDX-License-Identifier: Apache-2.0
#include "platform/completion_port.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/system_calls.hpp"

namespace talvenix::platform {
namespace {

// StartReadNow's result for a read the poller finishes later; no errno value.
constexpr int kReadPending = -1;

}  // namespace

struct CompletionPort::State {
  struct Association {
    uintptr_t key = 0;
    bool socket = false;
    bool pending = false;
    void* buffer = nullptr;
    size_t size = 0;
    Overlapped* overlapped = nullptr;
  };

  std::mutex queue_mutex;
  std::condition_variable queue_cv;
  std::deque<Packet> queue;
  bool closed = false;

  std::mutex io_mutex;  // associations, the epoll set and the poller
  std::map<int, Association> associations;
  int epoll_fd = -1;
  int wake_fd = -1;
  std::thread poller;
  std::atomic<bool> stopping{false};

  bool IsClosed() {
    std::lock_guard lock(queue_mutex);
    return closed;
  }

  // 0 with `bytes` set, EAGAIN when nothing is there yet, else an errno value.
  static int ReadNow(int fd, Association& a, uint32_t& bytes) {
    ssize_t n;
    if (a.socket) {
      iovec iov{a.buffer, a.size};
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      do n = recvmsg(fd, &msg, MSG_DONTWAIT);
      while (n < 0 && errno == EINTR);
      if (n >= 0 && a.overlapped) a.overlapped->truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    } else {
      do n = read(fd, a.buffer, a.size);
      while (n < 0 && errno == EINTR);
    }
    if (n < 0) return errno == EWOULDBLOCK ? EAGAIN : errno;
    bytes = static_cast<uint32_t>(n);
    return 0;
  }

  int Arm(int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.fd = fd;
    return g_system_calls.epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &ev) == 0 ? 0 : errno;
  }

  // Called with io_mutex held.
  int StartPoller() {
    if (epoll_fd >= 0) return 0;
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) return errno;
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake;
    if (wake < 0 || g_system_calls.epoll_ctl(ep, EPOLL_CTL_ADD, wake, &ev) != 0) {
      int error = errno;
      if (wake >= 0) close(wake);
      close(ep);
      return error;
    }
    try {
      poller = std::thread([this, ep, wake] { Poll(ep, wake); });
    } catch (const std::system_error& e) {
      close(wake);
      close(ep);
      return e.code().value();
    }
    epoll_fd = ep;
    wake_fd = wake;
    return 0;
  }

  // The descriptors are the poller's own copies: Close clears the members
  // while this loop may still be waiting.
  void Poll(int ep, int wake) {
    epoll_event events[16];
    while (!stopping) {
      int n = epoll_wait(ep, events, 16, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      for (int i = 0; i < n; ++i) {
        if (events[i].data.fd == wake) continue;  // the loop condition decides
        Complete(events[i].data.fd);
      }
    }
  }

  void Complete(int fd) {
    Packet packet;
    {
      std::lock_guard lock(io_mutex);
      auto it = associations.find(fd);
      if (it == associations.end() || !it->second.pending) return;
      Association& a = it->second;
      uint32_t bytes = 0;
      int error = ReadNow(fd, a, bytes);
      if (error == EAGAIN) {
        Arm(fd);  // woken without data: wait again
        return;
      }
      a.pending = false;
      packet = Packet{a.key, bytes, a.overlapped, ErrorFromSystem(error)};
    }
    Post(packet);
  }

  int Post(const Packet& packet) {
    {
      std::lock_guard lock(queue_mutex);
      if (closed) return ESHUTDOWN;
      queue.push_back(packet);
    }
    queue_cv.notify_one();
    return 0;
  }
};

std::unique_ptr<CompletionPort> CompletionPort::Create(Error* error) {
  std::unique_ptr<CompletionPort> port(new (std::nothrow) CompletionPort);
  if (port) port->state_.reset(new (std::nothrow) State);
  if (!port || !port->state_) {
    if (error) *error = ErrorFromSystem(ENOMEM);
    return nullptr;
  }
  return port;
}

CompletionPort::~CompletionPort() {
  if (state_) Close();
}

Error CompletionPort::Post(const Packet& packet) { return ErrorFromSystem(state_->Post(packet)); }

bool CompletionPort::Get(Packet& packet) {
  std::unique_lock lock(state_->queue_mutex);
  state_->queue_cv.wait(lock, [this] { return state_->closed || !state_->queue.empty(); });
  if (state_->closed) return false;
  packet = state_->queue.front();
  state_->queue.pop_front();
  return true;
}

Error CompletionPort::Associate(int fd, uintptr_t key) { return ErrorFromSystem(AssociateNow(fd, key)); }

int CompletionPort::AssociateNow(int fd, uintptr_t key) {
  if (fd < 0) return EBADF;
  struct stat st {};
  if (fstat(fd, &st) != 0) return errno;
  bool socket = S_ISSOCK(st.st_mode);
  if (!socket) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  }
  std::lock_guard lock(state_->io_mutex);
  if (state_->IsClosed()) return ESHUTDOWN;  // checked under io_mutex: Close stops the poller under it
  if (state_->associations.count(fd)) return EEXIST;
  if (int error = state_->StartPoller()) return error;
  epoll_event ev{};
  ev.events = EPOLLONESHOT;  // armed only while a read is pending
  ev.data.fd = fd;
  if (g_system_calls.epoll_ctl(state_->epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0) return errno;
  State::Association a;
  a.key = key;
  a.socket = socket;
  state_->associations.emplace(fd, a);
  return 0;
}

Error CompletionPort::StartRead(int fd, void* buffer, size_t size, Overlapped* overlapped) {
  int result = StartReadNow(fd, buffer, size, overlapped);
  return result == kReadPending ? Error(ErrorKind::kPending) : ErrorFromSystem(result);
}

int CompletionPort::StartReadNow(int fd, void* buffer, size_t size, Overlapped* overlapped) {
  if (!buffer) return EINVAL;
  Packet packet;
  {
    std::lock_guard lock(state_->io_mutex);
    if (state_->IsClosed()) return ESHUTDOWN;
    auto it = state_->associations.find(fd);
    if (it == state_->associations.end()) return EBADF;
    State::Association& a = it->second;
    if (a.pending) return EBUSY;
    a.buffer = buffer;
    a.size = size;
    a.overlapped = overlapped;
    if (overlapped) *overlapped = Overlapped{};
    uint32_t bytes = 0;
    int error = State::ReadNow(fd, a, bytes);
    if (error == EAGAIN) {
      if (int arm_error = state_->Arm(fd)) return arm_error;
      a.pending = true;
      return kReadPending;
    }
    if (error) return error;
    packet = Packet{a.key, bytes, overlapped, kNoError};
  }
  // Like a handle bound to a port: a read that finished at once still
  // completes through the port.
  return state_->Post(packet);
}

std::vector<Packet> CompletionPort::Close() {
  std::vector<Packet> left;
  {
    std::lock_guard lock(state_->queue_mutex);
    if (state_->closed) return left;
    state_->closed = true;
    left.assign(state_->queue.begin(), state_->queue.end());
    state_->queue.clear();
  }
  state_->queue_cv.notify_all();

  std::thread poller;
  int epoll_fd, wake_fd;
  {
    std::lock_guard lock(state_->io_mutex);
    poller = std::move(state_->poller);
    epoll_fd = std::exchange(state_->epoll_fd, -1);
    wake_fd = std::exchange(state_->wake_fd, -1);
    state_->associations.clear();
  }
  if (poller.joinable()) {
    state_->stopping = true;
    uint64_t one = 1;
    while (write(wake_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    poller.join();
  }
  if (wake_fd >= 0) close(wake_fd);
  if (epoll_fd >= 0) close(epoll_fd);
  return left;
}

}  // namespace talvenix::platform
