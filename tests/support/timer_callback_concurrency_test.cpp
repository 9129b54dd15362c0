// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/sync.hpp"
#include "platform/timer_queue.hpp"
#include "support/timer_callback.hpp"

namespace talvenix {
namespace {

using namespace std::chrono_literals;

struct Calls {
  CAThreadPool* pool = nullptr;
  std::atomic<int> first{0};
  std::atomic<int> second{0};
  std::atomic<bool> on_worker{false};
  uintptr_t arguments[3] = {};
  uint32_t due = 0;
  uint32_t fired = 0;
  TimerCallback* restart = nullptr;  // set: the callback restarts its timer
  platform::AutoResetEvent done;
};

void First(uintptr_t a, uintptr_t b, uint32_t due, uintptr_t c, uint32_t fired) {
  auto* calls = reinterpret_cast<Calls*>(a);
  calls->on_worker = calls->pool->IsWorkerThread();
  calls->arguments[0] = a;
  calls->arguments[1] = b;
  calls->arguments[2] = c;
  calls->due = due;
  calls->fired = fired;
  ++calls->first;
  if (calls->restart && calls->first < 3) calls->restart->Start(First, 10, a, b, c);
  calls->done.Set();
}

void Second(uintptr_t a, uintptr_t, uint32_t, uintptr_t, uint32_t) {
  auto* calls = reinterpret_cast<Calls*>(a);
  ++calls->second;
  calls->done.Set();
}

uint32_t Block(void* context, uint32_t*, platform::Overlapped*, uint32_t, platform::Error) {
  static_cast<platform::ManualResetEvent*>(context)->Wait();
  return 0;
}

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(pool_.Initialize(1));
    calls_.pool = &pool_;
  }
  void TearDown() override {
    Release();
    timer_.Cancel();
    pool_.Shutdown();
  }
  uintptr_t Self() { return reinterpret_cast<uintptr_t>(&calls_); }
  // Holds the only worker until Release, so an expiry stays queued.
  void Hold() { ASSERT_FALSE(pool_.QueueWorkItem(&release_, Block)); }
  void Release() { release_.Set(); }

  CAThreadPool pool_;
  TimerCallback timer_{&pool_};
  Calls calls_;
  platform::ManualResetEvent release_;
};

TEST_F(TimerTest, ExpiryRunsOnAPoolWorkerWithItsArguments) {
  ASSERT_EQ(timer_.Start(First, 20, Self(), 7, 9), 1);
  EXPECT_TRUE(timer_.IsArmed());
  ASSERT_TRUE(calls_.done.Wait(5000));
  EXPECT_TRUE(calls_.on_worker);
  EXPECT_EQ(calls_.arguments[1], 7u);
  EXPECT_EQ(calls_.arguments[2], 9u);
  EXPECT_EQ(calls_.due, 20u);
  EXPECT_EQ(calls_.fired, 1u);
  EXPECT_FALSE(timer_.IsArmed());
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(calls_.first, 1);  // one-shot
}

TEST_F(TimerTest, CancelBeforeExpiryMeansNoCall) {
  ASSERT_EQ(timer_.Start(First, 300, Self(), 0, 0), 1);
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(timer_.Cancel(), 1);
  EXPECT_FALSE(calls_.done.Wait(450));
  EXPECT_EQ(calls_.first, 0);
}

TEST_F(TimerTest, RestartReplacesTheFirstCallback) {
  ASSERT_EQ(timer_.Start(First, 80, Self(), 0, 0), 1);
  ASSERT_EQ(timer_.Start(Second, 80, Self(), 0, 0), 1);
  ASSERT_TRUE(calls_.done.Wait(5000));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(calls_.first, 0);
  EXPECT_EQ(calls_.second, 1);
}

TEST_F(TimerTest, AnExpiryAlreadyQueuedNeverRunsAfterCancelOrRestart) {
  Hold();
  ASSERT_EQ(timer_.Start(First, 5, Self(), 0, 0), 1);
  std::this_thread::sleep_for(80ms);  // expired: its run waits behind the held worker
  ASSERT_EQ(timer_.Start(Second, 60000, Self(), 0, 0), 1);
  Release();
  EXPECT_FALSE(calls_.done.Wait(150));
  EXPECT_EQ(calls_.first, 0);
  EXPECT_EQ(calls_.second, 0);  // the replacement is not due for a minute
  EXPECT_TRUE(timer_.IsArmed());

  release_.Reset();
  Hold();
  timer_.Cancel();
  ASSERT_EQ(timer_.Start(First, 5, Self(), 0, 0), 1);
  std::this_thread::sleep_for(80ms);
  timer_.Cancel();
  Release();
  EXPECT_FALSE(calls_.done.Wait(150));
  EXPECT_EQ(calls_.first, 0);
}

TEST_F(TimerTest, CallbackMayRestartItsOwnTimer) {
  calls_.restart = &timer_;
  ASSERT_EQ(timer_.Start(First, 10, Self(), 0, 0), 1);
  auto end = std::chrono::steady_clock::now() + 5s;
  while (calls_.first < 3 && std::chrono::steady_clock::now() < end) calls_.done.Wait(100);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(calls_.first, 3);
}

TEST(TimerQueue, DeleteWaitsForARunningRoutine) {
  platform::TimerQueue queue;
  std::atomic<bool> started{false}, finished{false};
  platform::TimerId id = queue.Create(1, [&] {
    started = true;
    std::this_thread::sleep_for(100ms);
    finished = true;
  });
  ASSERT_NE(id, 0u);
  while (!started) std::this_thread::sleep_for(1ms);
  queue.Delete(id);
  EXPECT_TRUE(finished);
}

TEST(TimerQueue, TimersFireInDueOrderAndDeletedOnesNever) {
  platform::TimerQueue queue;
  std::mutex mutex;
  std::string order;
  auto add = [&](char c) {
    std::lock_guard lock(mutex);
    order += c;
  };
  queue.Create(60, [&] { add('c'); });
  platform::TimerId gone = queue.Create(30, [&] { add('x'); });
  queue.Create(10, [&] { add('a'); });
  queue.Create(40, [&] { add('b'); });
  queue.Delete(gone);
  std::this_thread::sleep_for(200ms);
  std::lock_guard lock(mutex);
  EXPECT_EQ(order, "abc");
}

}  // namespace
}  // namespace talvenix
