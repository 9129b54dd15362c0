// SPDX-License-Identifier: Apache-2.0
#pragma once
// MailSlotReader_Server: listens on the test-message mailslot and hands every
// message (up to 999 bytes, NUL-terminated) to the host's test callback as
// event 1. When no message comes within the time limit, the callback gets
// event 0 with code 30; when the next read cannot start, event 0 with code 22.
// Reads and time-outs run on the server's own one-worker pool, and callback
// calls never overlap. Initialize and Uninitialize belong to one thread.

#include <atomic>
#include <memory>
#include <mutex>

#include "engine/test_channel/mail_slot.hpp"
#include "platform/mailslot.hpp"
#include "support/thread_pool.hpp"
#include "support/timer_callback.hpp"
#include "talvenix/talvenix.h"

namespace talvenix {

class MailSlotReader_Server : public IMailSlot {
 public:
  static constexpr uint32_t kReadBufferSize = 1000;
  static constexpr uint32_t kMaxMessageBytes = kReadBufferSize - 1;

  // `time_limit_ms` 0: no time limit. `name` is copied (at most 259 characters).
  MailSlotReader_Server(uint32_t time_limit_ms, const char16_t* name, TalvexTestCallback callback, uintptr_t context);
  ~MailSlotReader_Server() override;  // stops it

  // Creates the pool, the timer and the mailslot and starts listening.
  int32_t Initialize(ILogInterface* logger) override;
  // Stops listening; when it returns no callback is running or will run.
  // Must not be called from the callback (see Calling).
  virtual void Uninitialize();
  bool IsInitialized() override { return initialised_; }
  void SetInitialized(bool value) override { initialised_ = value; }

  virtual std::unique_ptr<CAThreadPool> CreateThreadPool();
  // 0, 18 without a mailslot, 1 when the read cannot be set up.
  virtual int32_t ListenOnMailSlot();
  // 1 when a read is pending or done, 0 otherwise.
  virtual int IssueReadIO();
  virtual std::unique_ptr<TimerCallback> CreateTimer(CAThreadPool* pool);

  // The server whose callback this thread is running, else null. Tells a stop
  // asked from inside a callback which server asked, even one not yet published.
  static MailSlotReader_Server* Calling();
  // From its own callback: no read is started after the callback returns, so no
  // later line is delivered while another thread finishes the stop.
  void StopReading() { stopping_ = true; }

 private:
  static uint32_t ReadComplete(void* context, uint32_t* kind, platform::Overlapped* overlapped, uint32_t bytes,
                               platform::Error error);
  static void TimedOut(uintptr_t server, uintptr_t, uint32_t, uintptr_t, uint32_t);
  void Notify(uint32_t event, void* data);
  void ReleaseAll();

  std::atomic<bool> initialised_{false};
  std::atomic<bool> stopping_{false};
  ILogInterface* logger_ = nullptr;
  uint32_t time_limit_ms_;
  char16_t name_[kMailslotNameChars] = {};
  TalvexTestCallback callback_;
  uintptr_t context_;
  std::unique_ptr<CAThreadPool> pool_;
  std::unique_ptr<TimerCallback> timer_;
  platform::MailslotReader mailslot_;
  char buffer_[kReadBufferSize] = {};
  platform::Overlapped overlapped_;
  WorkItem read_item_;
  platform::Error last_error_;           // why the last read could not be started
  std::recursive_mutex callback_mutex_;  // one callback call at a time
};

}  // namespace talvenix
