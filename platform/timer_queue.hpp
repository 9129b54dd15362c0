// SPDX-License-Identifier: Apache-2.0
#pragma once
// One-shot timers served by one timer thread (on Windows the system's timer
// queue thread) on the steady clock. Routines run
// on that thread one at a time, so they must be short. Deleting a timer waits
// until its routine has finished, so no routine ever runs on state its owner
// has already released. All operations are thread-safe.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/error.hpp"

namespace talvenix::platform {

using TimerId = uint64_t;  // 0 is never a timer

class TimerQueue {
 public:
  TimerQueue();
  ~TimerQueue();  // drops pending timers, waits for a running routine, ends the thread
  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;

  // The process-wide queue, like the system's default timer queue.
  static TimerQueue& Default();

  // Runs `routine` once, `due_ms` milliseconds from now. 0 when the timer
  // cannot be made; `error`, when given, says why.
  TimerId Create(uint32_t due_ms, std::function<void()> routine, Error* error = nullptr);
  // Removes the timer. When its routine is running, waits until it returns,
  // except when called from that routine. Unknown or expired ids are fine.
  void Delete(TimerId id);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace talvenix::platform
