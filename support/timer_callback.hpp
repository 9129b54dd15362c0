// SPDX-License-Identifier: Apache-2.0
#pragma once
// TimerCallback: a one-shot timer whose callback runs on a CAThreadPool worker,
// never on the timer queue's thread. Start replaces an armed timer; Cancel and
// a restarted Start make sure that an expiry already on its way never runs a
// stale or replaced callback. Any thread may call Start and Cancel.

#include <cstdint>
#include <mutex>

#include "platform/timer_queue.hpp"
#include "support/thread_pool.hpp"

namespace talvenix {

// (first argument, second argument, due time in ms, third argument, 1).
using TimerRoutine = void (*)(uintptr_t first, uintptr_t second, uint32_t due_ms, uintptr_t third, uint32_t fired);

class TimerCallback {
 public:
  // `pool` runs the expiries; it is not owned and must outlive the timer's
  // last expiry (stop the pool, or Cancel, before destroying it).
  explicit TimerCallback(CAThreadPool* pool, platform::TimerQueue& queue = platform::TimerQueue::Default());
  virtual ~TimerCallback();  // cancels
  TimerCallback(const TimerCallback&) = delete;
  TimerCallback& operator=(const TimerCallback&) = delete;

  // Disarms the timer, waiting for an expiry that is running on the timer
  // thread; an expiry already queued on the pool then finds nothing to run.
  // Returns 1.
  virtual int Cancel();
  // Arms the timer for `due_ms`, replacing an armed one. 1 when armed, 0 when
  // the timer cannot be made.
  virtual int Start(TimerRoutine routine, uint32_t due_ms, uintptr_t first, uintptr_t second, uintptr_t third);

  bool IsArmed();

 private:
  void Expire(uint64_t generation);  // on the timer queue's thread
  static uint32_t RunOnPool(void* context, uint32_t* kind, platform::Overlapped* overlapped, uint32_t bytes,
                            platform::Error error);

  std::mutex mutex_;
  uintptr_t arguments_[3] = {};
  uint32_t due_ms_ = 0;
  bool fired_ = true;
  TimerRoutine routine_ = nullptr;
  platform::TimerId timer_ = 0;
  bool armed_ = false;
  // Which arming is current; an expiry or a queued run of an older one is void.
  uint64_t generation_ = 0;
  uint64_t queued_generation_ = 0;
  CAThreadPool* pool_;
  platform::TimerQueue& queue_;
};

}  // namespace talvenix
