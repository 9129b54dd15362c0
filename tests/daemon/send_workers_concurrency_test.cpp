// SPDX-License-Identifier: Apache-2.0
// The dispatcher's senders: never more jobs at once than workers, Drain
// returns only after every job handed so far finished (the journal and the
// exports rely on it), and a resize between jobs keeps nothing running.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "daemon/send_workers.hpp"

namespace talvenix::daemon {
namespace {

TEST(SendWorkers, RunAtMostTheirNumberAndDrainWaitsForEveryJob) {
  SendWorkers workers;
  std::atomic<int> running{0}, most{0}, done{0};
  auto job = [&] {
    const int now = ++running;
    for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    --running;
    ++done;
  };
  for (int size : {4, 1, 3}) {
    workers.Resize(size);
    most = 0;
    const int before = done;
    for (int i = 0; i < 40; ++i) workers.Run(job);
    workers.Drain();
    EXPECT_EQ(done - before, 40) << "Drain returned before every job finished";
    EXPECT_EQ(running, 0);
    EXPECT_EQ(most, size);
    EXPECT_TRUE(workers.Idle());
  }
  workers.Run(job);
  workers.Resize(0);  // drains first
  EXPECT_EQ(running, 0);
  EXPECT_EQ(done, 121);
}

}  // namespace
}  // namespace talvenix::daemon
