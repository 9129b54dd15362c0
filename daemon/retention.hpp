// SPDX-License-Identifier: Apache-2.0
#pragma once
// Keeps the queue bounded: at start and then every hour, deletes the
// messages and webhook events that settled more than `keep_days` ago. A
// small batch per job, so that accepting never waits behind one long
// transaction.

#include <condition_variable>
#include <mutex>
#include <thread>

#include "daemon/message_queue.hpp"

namespace talvenix::daemon {

class Retention {
 public:
  // `keep_days` 0 keeps everything: Start does nothing then.
  Retention(MessageQueue& queue, int keep_days);
  ~Retention();
  void Start();
  void Stop();

 private:
  void Loop();
  // Deletes batch after batch until nothing settled before `now_ms` minus
  // the kept days is left, or Stop.
  DeletedCounts Sweep(int64_t now_ms);

  MessageQueue& queue_;
  int keep_days_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace talvenix::daemon
