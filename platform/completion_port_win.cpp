#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/completion_port.hpp"
#include "platform/system_calls.hpp"

namespace talvenix::platform {
namespace {

// How long Close waits for the system to hand back a cancelled read.
constexpr DWORD kCancelWaitMs = 5000;

// Every OVERLAPPED the port sees begins one of these, so a completion tells
// what it carries.
struct Carrier {
  OVERLAPPED os{};
  bool posted = false;
};

struct Posted : Carrier {
  Packet packet;
};

// Reads a message that is longer than the caller's buffer whole (a mailslot
// refuses a short read and keeps the message), keeps its start and marks it
// cut, as a datagram socket would. No packet is queued for this read: the
// event's low bit keeps it off the port.
Error ReadCut(HANDLE handle, void* buffer, size_t size, Overlapped* overlapped, uint32_t& bytes) {
  DWORD next = 0;
  if (!GetMailslotInfo(handle, nullptr, &next, nullptr, nullptr) || next == MAILSLOT_NO_MESSAGE)
    return ErrorFromSystem(ERROR_INSUFFICIENT_BUFFER);
  std::vector<char> whole(next);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!event) return LastSystemError();
  OVERLAPPED os{};
  os.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(event) | 1);
  DWORD done = 0;
  BOOL ok = g_system_calls.read_file(handle, whole.data(), next, &done, &os);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(handle, &os, &done, TRUE);
  Error error = ok ? kNoError : LastSystemError();
  CloseHandle(event);
  if (error) return error;
  bytes = static_cast<uint32_t>(std::min<size_t>(done, size));
  memcpy(buffer, whole.data(), bytes);
  if (overlapped) overlapped->truncated = done > size;
  return kNoError;
}

bool TooLong(DWORD error) { return error == ERROR_INSUFFICIENT_BUFFER; }

}  // namespace

struct CompletionPort::State {
  struct Association : Carrier {
    HANDLE handle = nullptr;
    uintptr_t key = 0;
    bool pending = false;  // the system owns the OVERLAPPED and the buffer
    void* buffer = nullptr;
    size_t size = 0;
    Overlapped* overlapped = nullptr;
  };

  HANDLE port = nullptr;
  std::mutex mutex;
  std::condition_variable idle;  // a waiter has left Get
  bool closed = false;
  int waiters = 0;
  int pending = 0;           // reads whose packet has not come yet
  std::vector<Packet> left;  // posted packets that waiters found after Close
  std::map<HANDLE, std::unique_ptr<Association>> associations;
  Carrier wake;  // Close posts one per waiter

  // What a dequeued completion carries; false for none (a wake, a read
  // finished after Close). Frees a posted carrier.
  bool Translate(OVERLAPPED* os, DWORD bytes, DWORD error, Packet& packet) {
    auto* carrier = reinterpret_cast<Carrier*>(os);
    if (carrier == &wake) return false;
    if (carrier->posted) {
      std::unique_ptr<Posted> posted(static_cast<Posted*>(carrier));
      packet = posted->packet;
      return true;
    }
    auto* a = static_cast<Association*>(carrier);
    packet = Packet{a->key, bytes, a->overlapped, ErrorFromSystem(static_cast<int>(error))};
    if (TooLong(error)) packet.error = ReadCut(a->handle, a->buffer, a->size, a->overlapped, packet.bytes);
    std::lock_guard lock(mutex);
    a->pending = false;
    --pending;
    return !closed;
  }

  // Called with `mutex` held.
  Error PostLocked(const Packet& packet) {
    if (closed) return Error(ErrorKind::kShutDown);
    auto posted = std::make_unique<Posted>();
    posted->posted = true;
    posted->packet = packet;
    if (!PostQueuedCompletionStatus(port, packet.bytes, packet.key, &posted->os)) return LastSystemError();
    posted.release();  // the port's until dequeued
    return kNoError;
  }
};

std::unique_ptr<CompletionPort> CompletionPort::Create(Error* error) {
  std::unique_ptr<CompletionPort> port(new (std::nothrow) CompletionPort);
  if (port) port->state_.reset(new (std::nothrow) State);
  if (!port || !port->state_) {
    if (error) *error = ErrorFromSystem(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  port->state_->port = g_system_calls.create_io_completion_port(INVALID_HANDLE_VALUE, nullptr, 0);
  if (!port->state_->port) {
    if (error) *error = LastSystemError();
    return nullptr;
  }
  return port;
}

CompletionPort::~CompletionPort() {
  if (state_ && state_->port) Close();
}

Error CompletionPort::Post(const Packet& packet) {
  std::lock_guard lock(state_->mutex);
  return state_->PostLocked(packet);
}

bool CompletionPort::Get(Packet& packet) {
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    if (s.closed) return false;
    ++s.waiters;
  }
  bool got = false;
  for (;;) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* os = nullptr;
    BOOL ok = GetQueuedCompletionStatus(s.port, &bytes, &key, &os, INFINITE);
    if (!os) break;  // the port itself failed
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    bool wake = reinterpret_cast<Carrier*>(os) == &s.wake;
    Packet p;
    bool carries = s.Translate(os, bytes, error, p);
    std::lock_guard lock(s.mutex);
    if (s.closed) {
      if (carries) s.left.push_back(p);  // Close hands it back
      if (wake || carries) break;
      continue;  // a dropped read: this waiter's wake is still queued
    }
    if (carries) {
      packet = p;
      got = true;
      break;
    }
  }
  std::lock_guard lock(s.mutex);
  --s.waiters;
  s.idle.notify_all();
  return got;
}

Error CompletionPort::Associate(NativeHandle fd, uintptr_t key) {
  if (fd == kInvalidHandle || !fd) return ErrorFromSystem(ERROR_INVALID_HANDLE);
  std::lock_guard lock(state_->mutex);
  if (state_->closed) return Error(ErrorKind::kShutDown);
  if (state_->associations.count(fd)) return ErrorFromSystem(ERROR_ALREADY_EXISTS);
  if (!g_system_calls.create_io_completion_port(fd, state_->port, key)) return LastSystemError();
  auto a = std::make_unique<State::Association>();
  a->handle = fd;
  a->key = key;
  state_->associations.emplace(fd, std::move(a));
  return kNoError;
}

Error CompletionPort::StartRead(NativeHandle fd, void* buffer, size_t size, Overlapped* overlapped) {
  if (!buffer) return ErrorFromSystem(ERROR_INVALID_PARAMETER);
  std::lock_guard lock(state_->mutex);
  if (state_->closed) return Error(ErrorKind::kShutDown);
  auto it = state_->associations.find(fd);
  if (it == state_->associations.end()) return ErrorFromSystem(ERROR_INVALID_HANDLE);
  State::Association& a = *it->second;
  if (a.pending) return ErrorFromSystem(ERROR_BUSY);
  a.os = OVERLAPPED{};
  a.buffer = buffer;
  a.size = size;
  a.overlapped = overlapped;
  if (overlapped) *overlapped = Overlapped{};
  a.pending = true;
  ++state_->pending;
  // Finished at once or later, the system queues the packet either way.
  if (g_system_calls.read_file(fd, buffer, static_cast<DWORD>(size), nullptr, &a.os)) return kNoError;
  DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) return Error(ErrorKind::kPending, static_cast<int>(error));
  a.pending = false;
  --state_->pending;
  if (!TooLong(error)) return ErrorFromSystem(static_cast<int>(error));
  // Refused at once, so no packet is queued: cut it and queue our own.
  Packet packet{a.key, 0, overlapped, kNoError};
  packet.error = ReadCut(fd, buffer, size, overlapped, packet.bytes);
  if (packet.error) return packet.error;
  return state_->PostLocked(packet);
}

std::vector<Packet> CompletionPort::Close() {
  State& s = *state_;
  std::vector<Packet> left;
  {
    std::unique_lock lock(s.mutex);
    if (s.closed) return left;
    s.closed = true;
    for (int i = 0; i < s.waiters; ++i) PostQueuedCompletionStatus(s.port, 0, 0, &s.wake.os);
    s.idle.wait(lock, [&] { return s.waiters == 0; });
    left = std::move(s.left);
    // Pending reads are dropped; their buffers stay the system's until it hands them back.
    for (auto& [handle, a] : s.associations)
      if (a->pending) CancelIoEx(handle, &a->os);
  }
  for (;;) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* os = nullptr;
    DWORD wait;
    {
      std::lock_guard lock(s.mutex);
      wait = s.pending > 0 ? kCancelWaitMs : 0;
    }
    BOOL ok = GetQueuedCompletionStatus(s.port, &bytes, &key, &os, wait);
    if (!os) break;  // drained, or a cancelled read never came back
    Packet p;
    // Only posted packets carry anything now: reads finished after Close are dropped.
    if (s.Translate(os, bytes, ok ? ERROR_SUCCESS : GetLastError(), p)) left.push_back(p);
  }
  std::lock_guard lock(s.mutex);
  CloseHandle(s.port);
  s.port = nullptr;
  // A read the system still owns keeps its record: freeing it could let a late completion write into freed memory.
  for (auto& [handle, a] : s.associations)
    if (a->pending) a.release();
  s.associations.clear();
  return left;
}

}  // namespace talvenix::platform
