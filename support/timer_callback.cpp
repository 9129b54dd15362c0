// SPDX-License-Identifier: Apache-2.0
#include "support/timer_callback.hpp"

namespace talvenix {

TimerCallback::TimerCallback(CAThreadPool* pool, platform::TimerQueue& queue) : pool_(pool), queue_(queue) {}

TimerCallback::~TimerCallback() { Cancel(); }

bool TimerCallback::IsArmed() {
  std::lock_guard lock(mutex_);
  return armed_;
}

int TimerCallback::Cancel() {
  platform::TimerId old = 0;
  {
    std::lock_guard lock(mutex_);
    fired_ = true;
    ++generation_;
    if (armed_) {
      armed_ = false;
      old = timer_;
    }
    timer_ = 0;
    routine_ = nullptr;
    arguments_[0] = arguments_[1] = arguments_[2] = 0;
  }
  // Outside the lock: the expiry takes it, and Delete waits for the expiry.
  queue_.Delete(old);
  return 1;
}

int TimerCallback::Start(TimerRoutine routine, uint32_t due_ms, uintptr_t first, uintptr_t second, uintptr_t third) {
  platform::TimerId old = 0;
  {
    std::lock_guard lock(mutex_);
    if (armed_) {
      armed_ = false;
      old = timer_;
      timer_ = 0;
    }
  }
  queue_.Delete(old);

  std::lock_guard lock(mutex_);
  routine_ = routine;
  due_ms_ = due_ms;
  arguments_[0] = first;
  arguments_[1] = second;
  arguments_[2] = third;
  fired_ = false;
  uint64_t generation = ++generation_;
  timer_ = queue_.Create(due_ms, [this, generation] { Expire(generation); });
  if (!timer_) return 0;
  armed_ = true;
  return 1;
}

void TimerCallback::Expire(uint64_t generation) {
  {
    std::lock_guard lock(mutex_);
    if (fired_ || generation != generation_) return;
    fired_ = true;
    queued_generation_ = generation;
  }
  // The callback itself runs on a worker, so a slow callback never holds up
  // the timer thread.
  pool_->QueueWorkItem(this, &TimerCallback::RunOnPool);
}

uint32_t TimerCallback::RunOnPool(void* context, uint32_t*, platform::Overlapped*, uint32_t, platform::Error) {
  auto* self = static_cast<TimerCallback*>(context);
  TimerRoutine routine = nullptr;
  uintptr_t arguments[3] = {};
  uint32_t due_ms = 0;
  platform::TimerId old = 0;
  {
    std::lock_guard lock(self->mutex_);
    // Cancelled or restarted since the expiry was queued: not ours to run.
    if (!self->armed_ || self->queued_generation_ != self->generation_) return 0;
    routine = self->routine_;
    due_ms = self->due_ms_;
    for (int i = 0; i < 3; ++i) arguments[i] = self->arguments_[i];
    self->routine_ = nullptr;
    self->due_ms_ = 0;
    self->arguments_[0] = self->arguments_[1] = self->arguments_[2] = 0;
    old = self->timer_;
    self->timer_ = 0;
    self->armed_ = false;
  }
  self->queue_.Delete(old);  // the one-shot timer has run out; waits for Expire to return
  if (routine) routine(arguments[0], arguments[1], due_ms, arguments[2], 1);
  return 0;
}

}  // namespace talvenix
