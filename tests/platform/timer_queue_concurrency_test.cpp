// SPDX-License-Identifier: Apache-2.0
// One-shot timers beyond what the timer callback's tests show: what a routine
// holds goes with a Delete, routines may delete timers, and a closing queue
// drops what is pending.

#include "platform/timer_queue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/sync.hpp"

namespace talvenix::platform {
namespace {

using namespace std::chrono_literals;

TEST(TimerQueue, WhatARunningRoutineHoldsIsGoneWhenDeleteReturns) {
  ManualResetEvent started;
  std::atomic<bool> finished{false};
  TimerQueue queue;
  auto held = std::make_shared<int>(1);
  std::weak_ptr<int> watch = held;
  TimerId id = queue.Create(1, [&, held = std::move(held)] {
    started.Set();
    std::this_thread::sleep_for(100ms);
    finished = true;
  });
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(started.Wait(5000));
  queue.Delete(id);
  EXPECT_TRUE(finished);
  EXPECT_TRUE(watch.expired());  // what the routine captured is gone too
  queue.Delete(id);              // an expired id is fine
}

TEST(TimerQueue, RoutinesMayDeleteTimersAndAClosingQueueDropsThePending) {
  std::atomic<int> runs{0};
  ManualResetEvent done;
  {
    TimerQueue queue;
    queue.Create(60000, [&] { ++runs; });  // dropped with the queue
    TimerId other = queue.Create(40, [&] { ++runs; });
    TimerId self = 0;
    ManualResetEvent created;
    self = queue.Create(1, [&] {
      created.Wait(5000);
      queue.Delete(self);   // must not wait for itself
      queue.Delete(other);  // nor for the thread it runs on
      done.Set();
    });
    created.Set();
    ASSERT_TRUE(done.Wait(5000));
    std::this_thread::sleep_for(80ms);  // past the other timer's due time
  }
  EXPECT_EQ(runs, 0);
}

TEST(TimerQueue, TimersRunOnceAndNotBeforeTheirTime) {
  std::atomic<int> runs{0};
  AutoResetEvent ran;
  auto start = std::chrono::steady_clock::now();
  std::atomic<int64_t> after_ms{0};
  TimerQueue queue;  // goes first, before what its routine uses
  queue.Create(50, [&] {
    after_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    ++runs;
    ran.Set();
  });
  ASSERT_TRUE(ran.Wait(5000));
  EXPECT_GE(after_ms, 45);  // the system's timers may round a few milliseconds down
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace talvenix::platform
