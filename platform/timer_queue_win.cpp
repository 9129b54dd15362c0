// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/module_lifetime.hpp"
#include "platform/system_calls.hpp"
#include "platform/timer_queue.hpp"

namespace talvenix::platform {

struct TimerQueue::State {
  struct Timer {
    State* state = nullptr;
    TimerId id = 0;
    HANDLE handle = nullptr;
    std::function<void()> routine;
    bool running = false;
    bool expired = false;  // its routine has returned
  };

  HANDLE queue = nullptr;
  Error create_error;
  std::mutex mutex;
  std::condition_variable finished;  // a routine has returned
  std::map<TimerId, std::unique_ptr<Timer>> timers;
  TimerId next_id = 1;
  bool stop = false;
  // The system's timer thread while it runs a routine: routines run there one
  // at a time (WT_EXECUTEINTIMERTHREAD), as the queue promises.
  DWORD routine_thread = 0;
  // Timers deleted from a routine without waiting: kept until the queue goes,
  // since the system may still hold their address.
  std::vector<std::unique_ptr<Timer>> deleted_without_waiting;

  static void CALLBACK Expired(void* context, BOOLEAN) {
    auto* timer = static_cast<Timer*>(context);
    State* s = timer->state;
    std::function<void()> routine;
    {
      std::lock_guard lock(s->mutex);
      // Deleted meanwhile (its deleter waits for us to return) or the queue is closing.
      auto it = s->timers.find(timer->id);
      if (s->stop || it == s->timers.end() || it->second.get() != timer) return;
      routine = std::move(timer->routine);
      timer->running = true;
      s->routine_thread = GetCurrentThreadId();
    }
    routine();
    routine = nullptr;  // whatever it captured goes before Delete returns
    {
      std::lock_guard lock(s->mutex);
      s->routine_thread = 0;
      timer->running = false;
      timer->expired = true;
      // Create may not have stored the handle yet; then it releases the timer.
      if (timer->handle) s->Release(timer->id);
    }
    s->finished.notify_all();
  }

  // Takes an expired timer out; the system frees it once its routine returns,
  // so nothing waits here. Called with `mutex` held.
  void Release(TimerId id) {
    auto it = timers.find(id);
    DeleteTimerQueueTimer(queue, it->second->handle, nullptr);
    timers.erase(it);
  }
};

TimerQueue::TimerQueue() : state_(std::make_unique<State>()) {
  state_->queue = CreateTimerQueue();
  if (!state_->queue) state_->create_error = LastSystemError();
}

TimerQueue::~TimerQueue() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
  }
  // Waits for routines that are running; those not yet started see `stop`.
  if (state_->queue) DeleteTimerQueueEx(state_->queue, INVALID_HANDLE_VALUE);
}

// Deleting the queue waits for its routines' threads, which are gone when
// the process is ending.
TimerQueue& TimerQueue::Default() {
  static KeptAtProcessEnd<TimerQueue> queue;
  return queue.get();
}

TimerId TimerQueue::Create(uint32_t due_ms, std::function<void()> routine, Error* error) {
  auto fail = [error](Error reason) -> TimerId {
    if (error) *error = reason;
    return 0;
  };
  if (!routine) return fail(Error(ErrorKind::kInvalidArgument));
  if (!state_->queue) return fail(state_->create_error);
  State::Timer* timer;
  TimerId id;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stop) return fail(Error(ErrorKind::kShutDown));
    auto made = std::make_unique<State::Timer>();
    timer = made.get();
    timer->state = state_.get();
    timer->id = id = state_->next_id++;
    timer->routine = std::move(routine);
    state_->timers.emplace(id, std::move(made));
  }
  // Not under the lock: the system may wait for its timer thread, which may
  // be waiting for the lock in a routine.
  HANDLE handle = nullptr;
  bool made = g_system_calls.create_timer(&handle, state_->queue, &State::Expired, timer, due_ms);
  Error reason = made ? kNoError : LastSystemError();
  {
    std::lock_guard lock(state_->mutex);
    if (!made) {
      state_->timers.erase(id);
      return fail(reason);
    }
    timer->handle = handle;
    if (timer->expired) state_->Release(id);  // it ran before the handle was here
  }
  state_->finished.notify_all();
  return id;
}

void TimerQueue::Delete(TimerId id) {
  if (id == 0) return;
  std::unique_lock lock(state_->mutex);
  auto it = state_->timers.find(id);
  if (it == state_->timers.end()) return;  // expired and done, or unknown
  bool from_routine = state_->routine_thread == GetCurrentThreadId();
  if (it->second->running) {
    if (from_routine) return;  // its own: it is freed when the routine returns
    state_->finished.wait(lock, [&] { return state_->timers.count(id) == 0; });
    return;
  }
  std::unique_ptr<State::Timer> removed = std::move(it->second);
  state_->timers.erase(it);
  lock.unlock();
  // Waits for a routine that has just begun: it finds its timer gone and
  // returns. From a routine nothing else can be running on the timer thread,
  // and a wait there would wait for that thread itself.
  DeleteTimerQueueTimer(state_->queue, removed->handle, from_routine ? nullptr : INVALID_HANDLE_VALUE);
  if (from_routine) {
    lock.lock();
    state_->deleted_without_waiting.push_back(std::move(removed));
  }
}

}  // namespace talvenix::platform
