// SPDX-License-Identifier: Apache-2.0
#pragma once
// Events in the manner of the original design's kernel events, on
// std::condition_variable. Any thread may Set; waits may time out.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace talvenix::platform {

constexpr uint32_t kInfinite = 0xFFFFFFFF;

template <bool kAutoReset>
class Event {
 public:
  explicit Event(bool initially_set = false) : set_(initially_set) {}

  void Set() {
    {
      std::lock_guard lock(mutex_);
      set_ = true;
    }
    if (kAutoReset)
      cv_.notify_one();
    else
      cv_.notify_all();
  }

  void Reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
  }

  // True when the event was set within timeout_ms (kInfinite waits for ever).
  // An auto-reset event is cleared by the wait that sees it.
  bool Wait(uint32_t timeout_ms = kInfinite) {
    std::unique_lock lock(mutex_);
    if (timeout_ms == kInfinite) {
      cv_.wait(lock, [this] { return set_; });
    } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return set_; })) {
      return false;
    }
    if (kAutoReset) set_ = false;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_;
};

using AutoResetEvent = Event<true>;
using ManualResetEvent = Event<false>;

}  // namespace talvenix::platform
