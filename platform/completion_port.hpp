// SPDX-License-Identifier: Apache-2.0
#pragma once
// A completion port: a blocking queue of packets that any thread may post to
// and worker threads wait on, plus descriptor association. A read started on
// an associated descriptor completes as a packet carrying the descriptor's
// key, whether it finished at once or later. On POSIX the port's poller
// thread, over epoll, performs a later read; on Windows it is the system's
// port, and a handle the system will not bind (opened for synchronous I/O) is
// read by a thread of its own. All operations are thread-safe.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/error.hpp"
#include "platform/native_handle.hpp"

namespace talvenix::platform {

// State of one read, owned by the caller; it must stay valid until the read's
// packet has been taken from the port (or the port is closed).
struct Overlapped {
  bool truncated = false;  // a datagram longer than the buffer was cut to it
};

struct Packet {
  uintptr_t key = 0;
  uint32_t bytes = 0;
  Overlapped* overlapped = nullptr;
  Error error;  // why the read failed, else no error
};

class CompletionPort {
 public:
  // Null when the port cannot be made; `error`, when given, says why.
  static std::unique_ptr<CompletionPort> Create(Error* error = nullptr);
  ~CompletionPort();  // closes the port
  CompletionPort(const CompletionPort&) = delete;
  CompletionPort& operator=(const CompletionPort&) = delete;

  // Queues a packet at the end. kShutDown once the port is closed.
  Error Post(const Packet& packet);
  // Waits without time limit for the next packet; false once the port is
  // closed (waiters are woken).
  bool Get(Packet& packet);

  // Binds a pollable descriptor (a handle on Windows) to the port under
  // `key`; a POSIX descriptor that is not a socket is switched to
  // non-blocking mode. The descriptor stays the
  // caller's; close it only after the port is closed. kExists when already bound.
  Error Associate(NativeHandle fd, uintptr_t key);
  // Starts a read of at most `size` bytes on an associated descriptor. No
  // error when it finished at once, kPending when the poller will finish it;
  // either way one packet follows. Any other error: no packet follows
  // (kInvalidArgument for a descriptor not associated, kBusy while a read is
  // pending on it, kShutDown once closed).
  Error StartRead(NativeHandle fd, void* buffer, size_t size, Overlapped* overlapped);

  // Closes the port: wakes every waiter, stops the poller (pending reads are
  // dropped) and hands back the packets nobody took, so their owner can free
  // what they carry. Later calls return nothing.
  std::vector<Packet> Close();

 private:
  CompletionPort() = default;
  // The work of Associate and StartRead, with the system's numbers.
  int AssociateNow(NativeHandle fd, uintptr_t key);
  int StartReadNow(NativeHandle fd, void* buffer, size_t size, Overlapped* overlapped);
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace talvenix::platform
