#pragma once
// A completion port: a blocking queue of packets that any thread may post to
// and worker threads wait on, plus descriptor association. A read started on
// an associated descriptor completes as a packet carrying the descriptor's
// key, whether it finished at once or later (then the port's poller thread,
// over epoll, performs it). All operations are thread-safe.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace talvenix::platform {

// Result of a read that will complete later, as a packet.
constexpr int kIoPending = 997;

// State of one read, owned by the caller; it must stay valid until the read's
// packet has been taken from the port (or the port is closed).
struct Overlapped {
  bool truncated = false;  // a datagram longer than the buffer was cut to it
};

struct Packet {
  uintptr_t key = 0;
  uint32_t bytes = 0;
  Overlapped* overlapped = nullptr;
  int error = 0;  // errno of a failed read, else 0
};

class CompletionPort {
 public:
  // Null with errno set when the port cannot be made.
  static std::unique_ptr<CompletionPort> Create();
  ~CompletionPort();  // closes the port
  CompletionPort(const CompletionPort&) = delete;
  CompletionPort& operator=(const CompletionPort&) = delete;

  // Queues a packet at the end. 0, or ESHUTDOWN once the port is closed.
  int Post(const Packet& packet);
  // Waits without time limit for the next packet; false once the port is
  // closed (waiters are woken).
  bool Get(Packet& packet);

  // Binds a pollable descriptor to the port under `key`; one that is not a
  // socket is switched to non-blocking mode. The descriptor stays the
  // caller's; close it only after the port is closed. 0 or an errno value.
  int Associate(int fd, uintptr_t key);
  // Starts a read of at most `size` bytes on an associated descriptor. 0 when
  // it finished at once, kIoPending when the poller will finish it; either way
  // one packet follows. Any other value is an errno value and no packet follows.
  // One read per descriptor at a time (EBUSY otherwise).
  int StartRead(int fd, void* buffer, size_t size, Overlapped* overlapped);

  // Closes the port: wakes every waiter, stops the poller (pending reads are
  // dropped) and hands back the packets nobody took, so their owner can free
  // what they carry. Later calls return nothing.
  std::vector<Packet> Close();

 private:
  CompletionPort() = default;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace talvenix::platform
