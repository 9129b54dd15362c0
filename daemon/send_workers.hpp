// SPDX-License-Identifier: Apache-2.0
#pragma once
// Threads that run sends beside the dispatcher's own, for a gateway that
// takes several at once: the dispatcher hands each send to a free worker and
// drains them all before anything that must not run beside a send (a claim
// that empties the journal, Update, Unint).

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace talvenix::daemon {

class SendWorkers {
 public:
  SendWorkers() = default;
  ~SendWorkers() { Resize(0); }
  SendWorkers(const SendWorkers&) = delete;
  SendWorkers& operator=(const SendWorkers&) = delete;

  // Drains, then keeps `threads` workers (0: none, sends run on the caller).
  void Resize(int threads);
  int size() const { return static_cast<int>(threads_.size()); }
  // Waits for a free worker and runs `job` on it.
  void Run(std::function<void()> job);
  // Waits until every job handed so far has finished.
  void Drain();
  // True while no job runs or waits.
  bool Idle();

 private:
  void Work();

  std::mutex mutex_;
  // Apart, so that a hand-off wakes one worker and a finish only the
  // dispatcher, not every thread each time.
  std::condition_variable job_waiting_, job_done_;
  std::vector<std::thread> threads_;
  std::optional<std::function<void()>> waiting_;  // handed, not yet taken by a worker
  int busy_ = 0;
  bool stopping_ = false;
};

}  // namespace talvenix::daemon
