#include <windows.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/system_calls.hpp"
#include "platform/timer_queue.hpp"

namespace talvenix::platform {

struct TimerQueue::State {
  struct Timer {
    State* state = nullptr;
    TimerId id = 0;
    HANDLE handle = nullptr;
    std::function<void()> routine;
    DWORD running_on = 0;  // the thread running the routine, 0 while it waits
  };

  HANDLE queue = nullptr;
  Error create_error;
  std::mutex mutex;
  std::condition_variable finished;  // a routine has returned
  std::map<TimerId, std::unique_ptr<Timer>> timers;
  TimerId next_id = 1;
  bool stop = false;

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
      timer->running_on = GetCurrentThreadId();
    }
    routine();
    routine = nullptr;  // whatever it captured goes before Delete returns
    std::unique_ptr<Timer> done;
    {
      std::lock_guard lock(s->mutex);
      auto it = s->timers.find(timer->id);
      done = std::move(it->second);
      s->timers.erase(it);
      // Not waiting: the system frees the timer once this routine returns.
      DeleteTimerQueueTimer(s->queue, done->handle, nullptr);
    }
    s->finished.notify_all();
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
  if (!state_->queue) return fail(state_->create_error);
  std::lock_guard lock(state_->mutex);  // held until the handle is stored: the routine looks for it
  if (state_->stop) return fail(Error(ErrorKind::kShutDown));
  auto timer = std::make_unique<State::Timer>();
  timer->state = state_.get();
  timer->id = state_->next_id++;
  timer->routine = std::move(routine);
  if (!g_system_calls.create_timer(&timer->handle, state_->queue, &State::Expired, timer.get(), due_ms))
    return fail(LastSystemError());
  TimerId id = timer->id;
  state_->timers.emplace(id, std::move(timer));
  return id;
}

void TimerQueue::Delete(TimerId id) {
  if (id == 0) return;
  std::unique_lock lock(state_->mutex);
  auto it = state_->timers.find(id);
  if (it == state_->timers.end()) return;  // expired and done, or unknown
  State::Timer* timer = it->second.get();
  if (timer->running_on == GetCurrentThreadId()) return;  // from its own routine
  if (timer->running_on != 0) {
    state_->finished.wait(lock, [&] { return state_->timers.count(id) == 0; });
    return;
  }
  std::unique_ptr<State::Timer> removed = std::move(it->second);
  state_->timers.erase(it);
  lock.unlock();
  // Waits for a routine that has just begun: it finds its timer gone and returns.
  DeleteTimerQueueTimer(state_->queue, removed->handle, INVALID_HANDLE_VALUE);
}

}  // namespace talvenix::platform
