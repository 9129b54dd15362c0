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
  changed_.notify_all();
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
  changed_.wait(lock, [&] { return !waiting_ && busy_ < size(); });
  waiting_ = std::move(job);
  changed_.notify_all();
}

void SendWorkers::Drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !waiting_ && busy_ == 0; });
}

bool SendWorkers::Idle() {
  std::lock_guard lock(mutex_);
  return !waiting_ && busy_ == 0;
}

void SendWorkers::Work() {
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [&] { return stopping_ || waiting_; });
    if (!waiting_) return;  // stopping, and nothing left to run
    std::function<void()> job = std::move(*waiting_);
    waiting_.reset();
    ++busy_;
    lock.unlock();
    job();
    lock.lock();
    --busy_;
    changed_.notify_all();
  }
}

}  // namespace talvenix::daemon
