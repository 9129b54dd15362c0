// SPDX-License-Identifier: Apache-2.0
// The gateway's re-entrant lock under several threads: exclusion, re-entry on
// the holding thread, and waiters that sleep until the holder lets go.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "gateways/modem/reentrant_lock.hpp"

namespace talvenix::gsm {
namespace {

TEST(ReentrantLock, ExcludesOtherThreadsAndLetsTheHolderEnterAgain) {
  ReentrantLock lock;
  uint64_t counter = 0;  // plain: only the lock keeps the threads apart
  int inside = 0;
  bool overlapped = false;
  constexpr int kThreads = 4, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::lock_guard outer(lock);
        overlapped |= ++inside != 1;
        {
          std::lock_guard again(lock);  // a callback calling back into the gateway
          ++counter;
        }
        ++counter;  // still held after the inner release
        --inside;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, uint64_t{2} * kThreads * kRounds);
  EXPECT_FALSE(overlapped);
}

TEST(ReentrantLock, AWaiterGetsInOnlyAfterTheLastRelease) {
  ReentrantLock lock;
  std::atomic<bool> entered{false};
  lock.lock();
  lock.lock();
  std::thread waiter([&] {
    std::lock_guard guard(lock);
    entered = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  lock.unlock();  // still held once
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered);
  lock.unlock();
  waiter.join();
  EXPECT_TRUE(entered);
}

}  // namespace
}  // namespace talvenix::gsm
