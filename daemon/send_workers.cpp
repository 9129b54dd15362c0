// SPDX-License-Identifier: Apache-2.0
#include "daemon/send_workers.hpp"

#include <pthread.h>

namespace talvenix::daemon {

void SendWorkers::Resize(int threads) {
  if (threads == size()) return;
  Drain();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  job_waiting_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  stopping_ = false;
  for (int i = 0; i < threads; ++i)
    threads_.emplace_back([this] {
      pthread_setname_np(pthread_self(), "sender");
      Work();
    });
}

void SendWorkers::Run(std::function<void()> job) {
  std::unique_lock lock(mutex_);
  job_done_.wait(lock, [&] { return !waiting_ && busy_ < size(); });
  waiting_ = std::move(job);
  job_waiting_.notify_one();
}

void SendWorkers::Drain() {
  std::unique_lock lock(mutex_);
  job_done_.wait(lock, [&] { return !waiting_ && busy_ == 0; });
}

bool SendWorkers::Idle() {
  std::lock_guard lock(mutex_);
  return !waiting_ && busy_ == 0;
}

void SendWorkers::Work() {
  std::unique_lock lock(mutex_);
  while (true) {
    job_waiting_.wait(lock, [&] { return stopping_ || waiting_; });
    if (!waiting_) return;  // stopping, and nothing left to run
    std::function<void()> job = std::move(*waiting_);
    waiting_.reset();
    ++busy_;
    job_done_.notify_all();  // the slot is free for the next hand-off
    lock.unlock();
    job();
    lock.lock();
    --busy_;
    job_done_.notify_all();
  }
}

}  // namespace talvenix::daemon
