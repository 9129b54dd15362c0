// SPDX-License-Identifier: Apache-2.0
#pragma once
// One simulated modem line: a copy of the record the module handed over and a
// thread that runs the line's work items in order of their due time. Stopping
// the line runs what is left as aborted, so a pending send still gets its
// outcome, then ends the thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "talvenix/gsm_driver.h"

namespace talvenix::sim {

class Line {
 public:
  using Clock = std::chrono::steady_clock;
  // Runs on the line's thread; `aborted` is true when the line stops first.
  using Work = std::function<void(const TalvexDriverLineRecord& record, bool aborted)>;

  // `on_done` runs after each work item, on the line's thread.
  Line(const TalvexDriverLineRecord& record, std::function<void()> on_done);
  ~Line();  // stops
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  void Post(Work work, std::chrono::milliseconds delay = std::chrono::milliseconds(0));
  // Ends the thread after running what is left as aborted. From the line's own
  // thread it only asks the thread to end.
  void Stop();

  const TalvexDriverLineRecord& record() const { return record_; }
  bool OnOwnThread() const { return thread_.get_id() == std::this_thread::get_id(); }

 private:
  void Run();

  const TalvexDriverLineRecord record_;
  std::function<void()> on_done_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<Clock::time_point, Work> work_;  // equal times keep their order
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace talvenix::sim
