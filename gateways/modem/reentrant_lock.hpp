// SPDX-License-Identifier: Apache-2.0
#pragma once
// The gateway's lock: re-entrant like a critical section, so an operation the
// host calls from inside a callback on the same thread does not block. Every
// incoming message takes it, so the uncontended path is one atomic exchange
// each way; a waiting thread sleeps on a condition variable, never spins.
// (Not std::atomic::wait: MinGW's libstdc++ 12 loses its wake-ups, so a
// waiter could sleep for ever.)
//
// Meets BasicLockable: use it with std::lock_guard / std::unique_lock.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace talvenix::gsm {

class ReentrantLock {
 public:
  ReentrantLock() = default;
  ReentrantLock(const ReentrantLock&) = delete;
  ReentrantLock& operator=(const ReentrantLock&) = delete;

  void lock() {
    const std::thread::id self = std::this_thread::get_id();
    // Only this thread ever stores its own id, so a stale read can never
    // match it by mistake.
    if (owner_.load(std::memory_order_relaxed) == self) {
      ++depth_;
      return;
    }
    uint32_t expected = kFree;
    if (!state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire, std::memory_order_relaxed))
      LockContended();
    owner_.store(self, std::memory_order_relaxed);
    depth_ = 1;
  }

  // Call only on the thread that holds the lock.
  void unlock() {
    if (--depth_ != 0) return;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    if (state_.exchange(kFree, std::memory_order_release) == kWaited) {
      // Taking the sleepers' mutex orders this wake-up after a waiter that
      // marked the lock has gone to sleep.
      std::lock_guard sleepers(sleep_mutex_);
      wakeup_.notify_one();
    }
  }

 private:
  enum : uint32_t { kFree = 0, kLocked = 1, kWaited = 2 };

  // Marks the lock as waited for, so its holder wakes one sleeper on unlock.
  void LockContended() {
    std::unique_lock sleepers(sleep_mutex_);
    while (state_.exchange(kWaited, std::memory_order_acquire) != kFree) wakeup_.wait(sleepers);
  }

  std::atomic<uint32_t> state_{kFree};
  std::mutex sleep_mutex_;
  std::condition_variable wakeup_;
  std::atomic<std::thread::id> owner_{};
  uint32_t depth_ = 0;  // touched only by the holder
};

}  // namespace talvenix::gsm
