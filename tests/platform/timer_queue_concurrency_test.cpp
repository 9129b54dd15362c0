// One-shot timers: a deleted timer never runs, and deleting one waits for
// its running routine, except from inside that routine.

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

TEST(TimerQueue, DeleteWaitsForARunningRoutineAndWhatItHolds) {
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

TEST(TimerQueue, ADeletedTimerNeverRunsAndARoutineMayDeleteItself) {
  std::atomic<int> runs{0};
  ManualResetEvent self_deleted;
  {
    TimerQueue queue;
    TimerId early = queue.Create(30, [&] { ++runs; });
    queue.Delete(early);
    queue.Create(60000, [&] { ++runs; });  // dropped with the queue

    TimerId self = 0;
    ManualResetEvent created;
    self = queue.Create(1, [&] {
      created.Wait(5000);
      queue.Delete(self);  // must not wait for itself
      self_deleted.Set();
    });
    created.Set();
    ASSERT_TRUE(self_deleted.Wait(5000));
    std::this_thread::sleep_for(60ms);  // past the deleted timer's due time
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
