// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/completion_port.hpp"
#include "platform/system_calls.hpp"

namespace talvenix::platform {
namespace {

// How long Close waits for the system to hand back a cancelled read.
constexpr DWORD kCancelWaitMs = 5000;
// How long a blocking read of a synchronous mailslot lasts before its reader
// looks whether the port was closed.
constexpr DWORD kSynchronousReadMs = 50;
// The least room a synchronous read gets: a local mailslot message is at most this long.
constexpr size_t kSynchronousRoom = 64 * 1024;

// Every OVERLAPPED the port sees begins one of these, so a completion tells
// what it carries.
struct Carrier {
  OVERLAPPED os{};
  bool posted = false;
};

struct Posted : Carrier {
  Packet packet;
};

// The size of the next message waiting in a mailslot, 0 when none is or the
// handle is no mailslot.
DWORD NextMessageSize(HANDLE handle) {
  DWORD next = 0;
  return GetMailslotInfo(handle, nullptr, &next, nullptr, nullptr) && next != MAILSLOT_NO_MESSAGE ? next : 0;
}

// Reads a message that is longer than the caller's buffer whole (a mailslot
// refuses a short read and keeps the message), keeps its start and marks it
// cut, as a datagram socket would. No packet is queued for this read: the
// event's low bit keeps it off the port.
Error ReadCut(HANDLE handle, bool synchronous, void* buffer, size_t size, Overlapped* overlapped, uint32_t& bytes) {
  DWORD next = NextMessageSize(handle);
  if (next == 0) return ErrorFromSystem(ERROR_INSUFFICIENT_BUFFER);
  std::vector<char> whole(next);
  DWORD done = 0;
  BOOL ok;
  if (synchronous) {
    ok = g_system_calls.read_file(handle, whole.data(), next, &done, nullptr);
  } else {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event) return LastSystemError();
    OVERLAPPED os{};
    os.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(event) | 1);
    ok = g_system_calls.read_file(handle, whole.data(), next, &done, &os);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(handle, &os, &done, TRUE);
    DWORD error = GetLastError();
    CloseHandle(event);
    SetLastError(error);
  }
  if (!ok) return LastSystemError();
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
    bool pending = false;  // the system (or the reader thread) owns the OVERLAPPED and the buffer
    void* buffer = nullptr;
    size_t size = 0;
    Overlapped* overlapped = nullptr;
    // A handle the system will not bind to a port (opened for synchronous
    // I/O, as some systems open mailslots) is read by a thread of its own,
    // which queues each completion as the system would.
    bool synchronous = false;
    bool requested = false;
    std::thread reader;
  };

  HANDLE port = nullptr;
  std::mutex mutex;
  std::condition_variable idle;  // a waiter has left Get
  bool closed = false;
  int waiters = 0;
  int pending = 0;           // reads whose packet has not come yet
  std::vector<Packet> left;  // posted packets that waiters found after Close
  std::map<HANDLE, std::unique_ptr<Association>> associations;
  std::condition_variable read_requested;  // for the readers of synchronous handles
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
    if (TooLong(error)) packet.error = ReadCut(a->handle, false, a->buffer, a->size, a->overlapped, packet.bytes);
    std::lock_guard lock(mutex);
    a->pending = false;
    --pending;
    return !closed;
  }

  // The reader thread of a synchronous handle: one blocking read per
  // StartRead, its result queued on the port. Leaves when the port closes.
  void ReadSynchronously(Association* a) {
    std::unique_lock lock(mutex);
    while (!closed) {
      read_requested.wait(lock, [&] { return closed || a->requested; });
      if (closed) break;
      lock.unlock();
      Packet packet{a->key, 0, a->overlapped, kNoError};
      // Read into room of our own that is larger than the caller's buffer,
      // so a longer message is seen to be longer even where the system cuts
      // it without a word.
      std::vector<char> room(std::max<size_t>(a->size + 1, kSynchronousRoom));
      bool done = false;
      bool stop = false;
      while (!done && !stop) {
        DWORD n = 0;
        if (g_system_calls.read_file(a->handle, room.data(), static_cast<DWORD>(room.size()), &n, nullptr)) {
          packet.bytes = static_cast<uint32_t>(std::min<size_t>(n, a->size));
          memcpy(a->buffer, room.data(), packet.bytes);
          if (a->overlapped) a->overlapped->truncated = n > a->size;
          done = true;
        } else if (TooLong(GetLastError())) {
          packet.error = ReadCut(a->handle, true, a->buffer, a->size, a->overlapped, packet.bytes);
          done = true;
        } else if (GetLastError() == ERROR_BROKEN_PIPE &&
                   GetMailslotInfo(a->handle, nullptr, nullptr, nullptr, nullptr)) {
          // Wine reads an empty mailslot message as a broken pipe (a mailslot
          // has none to break); the message is consumed, and it is a message.
          done = true;
        } else if (GetLastError() != ERROR_SEM_TIMEOUT) {
          packet.error = LastSystemError();
          done = true;
        } else {
          std::lock_guard check(mutex);
          stop = closed;
        }
      }
      lock.lock();
      a->requested = false;
      a->pending = false;
      --pending;
      PostLocked(packet);  // refused once closed: the read is dropped
    }
    if (a->pending) {
      a->pending = false;
      --pending;
    }
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
  auto a = std::make_unique<State::Association>();
  a->handle = fd;
  a->key = key;
  if (!g_system_calls.create_io_completion_port(fd, state_->port, key)) {
    if (GetLastError() != ERROR_INVALID_PARAMETER) return LastSystemError();
    // Not opened for overlapped I/O: bound through a reader thread instead.
    a->synchronous = true;
    SetMailslotInfo(fd, kSynchronousReadMs);  // so the reader sees Close soon
    try {
      a->reader = std::thread(&State::ReadSynchronously, state_.get(), a.get());
    } catch (const std::system_error& e) {
      return ErrorFromSystem(e.code().value());
    }
  }
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
  if (a.synchronous) {
    a.requested = true;
    state_->read_requested.notify_all();
    return Error(ErrorKind::kPending);
  }
  // Finished at once or later, the system queues the packet either way.
  if (g_system_calls.read_file(fd, buffer, static_cast<DWORD>(size), nullptr, &a.os)) return kNoError;
  DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) return Error(ErrorKind::kPending, static_cast<int>(error));
  a.pending = false;
  --state_->pending;
  if (!TooLong(error)) return ErrorFromSystem(static_cast<int>(error));
  // Refused at once, so no packet is queued: cut it and queue our own.
  Packet packet{a.key, 0, overlapped, kNoError};
  packet.error = ReadCut(fd, false, buffer, size, overlapped, packet.bytes);
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
      if (a->pending && !a->synchronous) CancelIoEx(handle, &a->os);
  }
  s.read_requested.notify_all();
  for (auto& [handle, a] : s.associations)
    if (a->reader.joinable()) a->reader.join();
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
