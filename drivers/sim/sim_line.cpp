// SPDX-License-Identifier: Apache-2.0
#include "drivers/sim/sim_line.hpp"

namespace talvenix::sim {

Line::Line(const TalvexDriverLineRecord& record, std::function<void()> on_done)
    : record_(record), on_done_(std::move(on_done)), thread_(&Line::Run, this) {}

Line::~Line() { Stop(); }

void Line::Post(Work work, std::chrono::milliseconds delay) {
  {
    std::lock_guard lock(mutex_);
    work_.emplace(Clock::now() + delay, std::move(work));
  }
  wake_.notify_one();
}

void Line::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // a callback stopping its own line: the thread ends by itself
    return;
  }
  thread_.join();
}

void Line::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stopping_) {
      while (!work_.empty()) {
        Work work = std::move(work_.begin()->second);
        work_.erase(work_.begin());
        lock.unlock();
        work(record_, true);
        if (on_done_) on_done_();
        lock.lock();
      }
      return;
    }
    if (work_.empty()) {
      wake_.wait(lock);
      continue;
    }
    auto due = work_.begin()->first;
    if (Clock::now() < due) {
      wake_.wait_until(lock, due);
      continue;
    }
    Work work = std::move(work_.begin()->second);
    work_.erase(work_.begin());
    lock.unlock();
    work(record_, false);
    if (on_done_) on_done_();
    lock.lock();
  }
}

}  // namespace talvenix::sim
