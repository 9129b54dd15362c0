// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/thread_pool.hpp"

namespace talvenix {
namespace {

using namespace std::chrono_literals;
using platform::ErrorKind;

template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = 5000ms) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

uint32_t Count(void* context, uint32_t*, platform::Overlapped*, uint32_t, platform::Error) {
  ++*static_cast<std::atomic<int>*>(context);
  return 0;
}

uint32_t CountSlowly(void* context, uint32_t*, platform::Overlapped*, uint32_t, platform::Error) {
  std::this_thread::sleep_for(1ms);
  ++*static_cast<std::atomic<int>*>(context);
  return 0;
}

class FourProcessorPool : public CAThreadPool {
 public:
  uint32_t GetProcessorCount() override { return 4; }
};

// Items that each wait (a while at most) until all `expected` have started,
// noting how many ran at the same time.
struct Rendezvous {
  int expected;
  std::atomic<int> arrived{0};
  std::atomic<int> running{0};
  std::atomic<int> peak{0};
  std::atomic<int> done{0};
};

uint32_t MeetTheOthers(void* context, uint32_t*, platform::Overlapped*, uint32_t, platform::Error) {
  auto* r = static_cast<Rendezvous*>(context);
  int now = ++r->running;
  for (int seen = r->peak; now > seen && !r->peak.compare_exchange_weak(seen, now);) {
  }
  ++r->arrived;
  WaitFor([&] { return r->arrived >= r->expected; }, 1000ms);
  --r->running;
  ++r->done;
  return 0;
}

TEST(CAThreadPool, StoppedPoolRefusesWorkAndRunsNothing) {
  CAThreadPool pool;
  std::atomic<int> ran{0};
  EXPECT_EQ(pool.QueueWorkItem(&ran, Count).kind(), ErrorKind::kShutDown);
  EXPECT_EQ(pool.Shutdown().kind(), ErrorKind::kShutDown);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  WorkItem key;
  EXPECT_EQ(pool.AssociateHandle(pipe_fds[0], &key).kind(), ErrorKind::kShutDown);

  // Starting it later does not bring the refused item back.
  ASSERT_FALSE(pool.Initialize(2));
  ASSERT_FALSE(pool.QueueWorkItem(&ran, Count));
  ASSERT_FALSE(pool.Shutdown());
  EXPECT_EQ(ran, 1);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

TEST(CAThreadPool, ADefaultPoolRunsTwiceAsManyItemsAtOnceAsProcessorsAndOneMore) {
  FourProcessorPool pool;
  ASSERT_FALSE(pool.Initialize(0));
  Rendezvous nine{9};
  for (int i = 0; i < 9; ++i) ASSERT_FALSE(pool.QueueWorkItem(&nine, MeetTheOthers));
  ASSERT_TRUE(WaitFor([&] { return nine.done == 9; }));
  EXPECT_EQ(nine.peak, 9);

  // A second Initialize changes nothing: a tenth item waits for a free worker.
  EXPECT_FALSE(pool.Initialize(3));
  Rendezvous ten{10};
  for (int i = 0; i < 10; ++i) ASSERT_FALSE(pool.QueueWorkItem(&ten, MeetTheOthers));
  ASSERT_FALSE(pool.Shutdown());  // runs everything queued first
  EXPECT_EQ(ten.done, 10);
  EXPECT_EQ(ten.peak, 9);
  EXPECT_EQ(pool.GetLiveCounter()->load(), 0) << "no worker outlives Shutdown";
}

TEST(CAThreadPool, ShutdownOfIdleWorkersReturnsAndThePoolCanStartAgain) {
  CAThreadPool pool;
  ASSERT_FALSE(pool.Initialize(9));
  std::this_thread::sleep_for(20ms);  // let them all block on the port
  ASSERT_FALSE(pool.Shutdown());
  EXPECT_FALSE(pool.IsStarted());
  EXPECT_EQ(pool.Shutdown().kind(), ErrorKind::kShutDown);

  std::atomic<int> ran{0};
  ASSERT_FALSE(pool.Initialize(1));
  ASSERT_FALSE(pool.QueueWorkItem(&ran, Count));
  EXPECT_TRUE(WaitFor([&] { return ran == 1; }));
}

TEST(CAThreadPool, ShutdownOfBusyWorkersFirstRunsEverythingQueuedBeforeIt) {
  CAThreadPool pool;
  ASSERT_FALSE(pool.Initialize(3));
  std::atomic<int> ran{0};
  for (int i = 0; i < 200; ++i) ASSERT_FALSE(pool.QueueWorkItem(&ran, CountSlowly));
  ASSERT_FALSE(pool.Shutdown());
  EXPECT_EQ(ran, 200);
  EXPECT_EQ(pool.DroppedAtLastShutdown(), 0u);
}

struct LateQueue {
  CAThreadPool* pool;
  std::atomic<int> ran{0};
};

uint32_t QueueAfterOthersLeft(void* context, uint32_t*, platform::Overlapped*, uint32_t, platform::Error) {
  auto* late = static_cast<LateQueue*>(context);
  // Wait until the other worker has taken the stop item, then queue behind it.
  WaitFor([&] { return late->pool->GetLiveCounter()->load() == 1; });
  std::this_thread::sleep_for(100ms);  // it passes the stop item on right after
  for (int i = 0; i < 10; ++i) late->pool->QueueWorkItem(&late->ran, Count);
  return 0;
}

TEST(CAThreadPool, ItemsLeftInTheQueueAtShutdownAreFreedNotRun) {
  CAThreadPool pool;
  ASSERT_FALSE(pool.Initialize(2));
  LateQueue late{&pool};
  ASSERT_FALSE(pool.QueueWorkItem(&late, QueueAfterOthersLeft));
  std::this_thread::sleep_for(10ms);  // the item is running on one worker
  ASSERT_FALSE(pool.Shutdown());
  // Every late item either ran or was freed; LeakSanitizer checks the freeing.
  EXPECT_EQ(late.ran + static_cast<int>(pool.DroppedAtLastShutdown()), 10);
  EXPECT_GT(pool.DroppedAtLastShutdown(), 0u);
}

struct ThreadCheck {
  CAThreadPool* pool;
  std::atomic<bool> on_worker{false};
  std::atomic<int> shutdown_result{-1};
};

uint32_t CheckThread(void* context, uint32_t* kind, platform::Overlapped*, uint32_t bytes, platform::Error error) {
  auto* check = static_cast<ThreadCheck*>(context);
  check->on_worker = check->pool->IsWorkerThread() && *kind == kWorkItemRun && bytes == 28 && !error;
  check->shutdown_result = static_cast<int>(check->pool->Shutdown().kind());  // would wait for itself
  return 0;
}

TEST(CAThreadPool, ItemsRunOnWorkersAndAWorkerCannotShutItsPoolDown) {
  CAThreadPool pool;
  ASSERT_FALSE(pool.Initialize(1));
  ThreadCheck check{&pool};
  EXPECT_FALSE(pool.IsWorkerThread());
  ASSERT_FALSE(pool.QueueWorkItem(&check, CheckThread));
  ASSERT_TRUE(WaitFor([&] { return check.shutdown_result != -1; }));
  EXPECT_TRUE(check.on_worker);
  EXPECT_EQ(check.shutdown_result, static_cast<int>(ErrorKind::kBusy));
  EXPECT_FALSE(pool.Shutdown());
}

struct ReadResult {
  std::atomic<int> calls{0};
  uint32_t bytes = 0;
  platform::Error error{ErrorKind::kFailed};
  platform::Overlapped* overlapped = nullptr;
};

uint32_t RecordRead(void* context, uint32_t*, platform::Overlapped* overlapped, uint32_t bytes, platform::Error error) {
  auto* r = static_cast<ReadResult*>(context);
  r->bytes = bytes;
  r->error = error;
  r->overlapped = overlapped;
  ++r->calls;
  return 0;
}

class AssociatedPipe : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(fds_), 0);
    ASSERT_FALSE(pool_.Initialize(1));
    key_.callback = RecordRead;
    key_.context = &result_;
  }
  void TearDown() override {
    pool_.Shutdown();
    close(fds_[0]);
    close(fds_[1]);
  }
  int fds_[2];
  CAThreadPool pool_;
  WorkItem key_;
  ReadResult result_;
  char buffer_[16] = {};
  platform::Overlapped overlapped_;
};

TEST_F(AssociatedPipe, ReadCompletesThroughThePortWhetherPendingOrImmediate) {
  ASSERT_FALSE(pool_.AssociateHandle(fds_[0], &key_));
  EXPECT_EQ(pool_.StartRead(fds_[0], buffer_, sizeof buffer_, &overlapped_).kind(), ErrorKind::kPending);
  EXPECT_EQ(pool_.StartRead(fds_[0], buffer_, sizeof buffer_, &overlapped_).kind(), ErrorKind::kBusy);  // one at a time
  ASSERT_EQ(write(fds_[1], "hello", 5), 5);
  ASSERT_TRUE(WaitFor([&] { return result_.calls == 1; }));
  EXPECT_EQ(result_.bytes, 5u);
  EXPECT_FALSE(result_.error);
  EXPECT_EQ(result_.overlapped, &overlapped_);
  EXPECT_EQ(std::string(buffer_, 5), "hello");

  // Data already there: done at once, and still delivered as a completion.
  ASSERT_EQ(write(fds_[1], "abc", 3), 3);
  EXPECT_FALSE(pool_.StartRead(fds_[0], buffer_, sizeof buffer_, &overlapped_));
  ASSERT_TRUE(WaitFor([&] { return result_.calls == 2; }));
  EXPECT_EQ(result_.bytes, 3u);
}

TEST_F(AssociatedPipe, PacketsWithANullOrCancelledKeyAreIgnoredAndWorkersKeepWaiting) {
  ASSERT_FALSE(pool_.AssociateHandle(fds_[0], nullptr));
  ASSERT_EQ(write(fds_[1], "x", 1), 1);
  EXPECT_FALSE(pool_.StartRead(fds_[0], buffer_, sizeof buffer_, &overlapped_));

  int second[2];
  ASSERT_EQ(pipe(second), 0);
  key_.cancelled = 1;
  ASSERT_FALSE(pool_.AssociateHandle(second[0], &key_));
  ASSERT_EQ(write(second[1], "y", 1), 1);
  EXPECT_FALSE(pool_.StartRead(second[0], buffer_, sizeof buffer_, &overlapped_));

  std::atomic<int> ran{0};
  ASSERT_FALSE(pool_.QueueWorkItem(&ran, Count));
  EXPECT_TRUE(WaitFor([&] { return ran == 1; }));
  EXPECT_EQ(result_.calls, 0);
  pool_.Shutdown();
  close(second[0]);
  close(second[1]);
}

// Records each worker's state changes by name, as a pool's diagnostics would.
class RecordingPool : public CAThreadPool {
 public:
  int32_t SetThreadState(WorkerRecord* worker, int32_t state) override {
    int32_t previous = CAThreadPool::SetThreadState(worker, state);
    std::lock_guard lock(mutex_);
    changes_.push_back(std::string(GetThreadStateName(previous)) + ">" + GetThreadStateName(state));
    return previous;
  }
  std::vector<std::string> changes() {
    std::lock_guard lock(mutex_);
    return changes_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> changes_;
};

TEST(CAThreadPool, AWorkerGoesFromUninitThroughIdleAndBusyToExit) {
  RecordingPool pool;
  ASSERT_FALSE(pool.Initialize(1));
  std::atomic<int> ran{0};
  ASSERT_FALSE(pool.QueueWorkItem(&ran, Count));
  ASSERT_TRUE(WaitFor([&] { return ran == 1; }));
  ASSERT_FALSE(pool.Shutdown());
  EXPECT_EQ(pool.changes(), (std::vector<std::string>{
                                "THREAD_ST_UNINIT>THREAD_ST_IDLE", "THREAD_ST_IDLE>THREAD_ST_BUSY",  // the item
                                "THREAD_ST_BUSY>THREAD_ST_IDLE", "THREAD_ST_IDLE>THREAD_ST_BUSY",    // the stop item
                                "THREAD_ST_BUSY>THREAD_ST_EXIT"}));
  EXPECT_STREQ(pool.GetThreadStateName(7), "NULL") << "a state no worker is ever in has no name";
}

}  // namespace
}  // namespace talvenix
