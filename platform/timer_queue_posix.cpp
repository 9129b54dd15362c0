// SPDX-License-Identifier: Apache-2.0
#include "platform/timer_queue.hpp"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace talvenix::platform {

using Clock = std::chrono::steady_clock;

struct TimerQueue::State {
  std::mutex mutex;
  std::condition_variable wake;      // a new earliest timer, or stop
  std::condition_variable finished;  // a routine has returned
  // Ordered by due time, then by id so equal due times keep creation order.
  std::map<std::pair<Clock::time_point, TimerId>, std::function<void()>> timers;
  std::map<TimerId, Clock::time_point> due_of;
  TimerId next_id = 1;
  TimerId running = 0;
  std::thread::id thread_id;
  std::thread thread;
  bool stop = false;
  // When the thread wakes by itself; a timer due later needs no wake-up call,
  // so re-arming a long timer again and again costs the thread nothing.
  Clock::time_point waking_at = Clock::time_point::max();

  void Run() {
    std::unique_lock lock(mutex);
    while (!stop) {
      if (timers.empty()) {
        waking_at = Clock::time_point::max();
        wake.wait(lock);
        continue;
      }
      auto first = timers.begin();
      Clock::time_point due = first->first.first;  // a copy: Delete may erase the entry while we wait
      if (Clock::now() < due) {
        waking_at = due;
        wake.wait_until(lock, due);
        continue;
      }
      TimerId id = first->first.second;
      std::function<void()> routine = std::move(first->second);
      timers.erase(first);
      due_of.erase(id);
      running = id;
      lock.unlock();
      routine();
      routine = nullptr;  // whatever it captured goes before Delete returns
      lock.lock();
      running = 0;
      finished.notify_all();
    }
  }
};

TimerQueue::TimerQueue() : state_(std::make_unique<State>()) {}

TimerQueue::~TimerQueue() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
    state_->timers.clear();
    state_->due_of.clear();
  }
  state_->wake.notify_all();
  if (state_->thread.joinable()) state_->thread.join();
}

TimerQueue& TimerQueue::Default() {
  static TimerQueue queue;
  return queue;
}

TimerId TimerQueue::Create(uint32_t due_ms, std::function<void()> routine, Error* error) {
  auto fail = [error](Error reason) -> TimerId {
    if (error) *error = reason;
    return 0;
  };
  if (!routine) return fail(Error(ErrorKind::kInvalidArgument));
  std::lock_guard lock(state_->mutex);
  if (state_->stop) return fail(Error(ErrorKind::kShutDown));
  if (!state_->thread.joinable()) {  // started with the first timer
    try {
      state_->thread = std::thread([s = state_.get()] { s->Run(); });
      state_->thread_id = state_->thread.get_id();
    } catch (const std::system_error& e) {
      return fail(ErrorFromSystem(e.code().value()));
    }
  }
  TimerId id = state_->next_id++;
  auto due = Clock::now() + std::chrono::milliseconds(due_ms);
  state_->timers.emplace(std::make_pair(due, id), std::move(routine));
  state_->due_of.emplace(id, due);
  if (due < state_->waking_at) {
    state_->waking_at = due;
    state_->wake.notify_all();
  }
  return id;
}

void TimerQueue::Delete(TimerId id) {
  if (id == 0) return;
  std::unique_lock lock(state_->mutex);
  if (auto it = state_->due_of.find(id); it != state_->due_of.end()) {
    state_->timers.erase({it->second, id});
    state_->due_of.erase(it);
    return;
  }
  if (std::this_thread::get_id() == state_->thread_id) return;  // from its own routine
  state_->finished.wait(lock, [&] { return state_->running != id; });
}

}  // namespace talvenix::platform
