// SPDX-License-Identifier: Apache-2.0
#pragma once
// A queue's one writer thread: the jobs that gathered meanwhile are run in
// one transaction each (one commit, one fsync, for many accepted messages).
// Events nobody waits for wait a moment for company, so a steady stream of
// sends commits its codes a few dozen at a time instead of one by one; and
// when the storage refuses them they are kept and written again, never
// dropped. How a batch is run is the storage's own.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace talvenix::daemon {

class GroupCommit {
 public:
  using Job = std::function<void()>;
  // How far a commit must reach before its waiters go on.
  enum class Sync {
    kDisk,       // fsync'd: survives a power cut (accepted messages)
    kOsBuffers,  // survives the daemon's crash, maybe not the machine's
    kLater       // the same, but nobody waits: committed with what follows within kGatherTime
  };
  // Runs `jobs` in one transaction that reaches `sync`; sets failures[i] for
  // each job that failed (a failing job takes back only its own changes) or
  // every one when the transaction failed. Runs on the writer thread.
  using RunBatch =
      std::function<void(const std::vector<Job*>& jobs, Sync sync, std::vector<std::exception_ptr>& failures)>;

  static constexpr auto kGatherTime = std::chrono::milliseconds(5);
  static constexpr size_t kGatherJobs = 64;

  explicit GroupCommit(RunBatch run) : run_(std::move(run)) {}
  ~GroupCommit() { Stop(); }
  GroupCommit(const GroupCommit&) = delete;
  GroupCommit& operator=(const GroupCommit&) = delete;

  void Start(const char* thread_name);
  // Runs what was submitted (giving up, after a few tries, on events the
  // storage keeps refusing), then ends the thread.
  void Stop();
  // Runs `job` on the writer thread inside a batch; the future is ready once
  // the batch committed (or holds the failure).
  std::future<void> Submit(Job job, Sync sync = Sync::kOsBuffers);
  // Events the storage refused, queued to be written again.
  size_t UnsavedEvents();
  // Why the last batch failed; empty when it did not.
  std::string StorageErrorNow();

 private:
  void Loop();

  RunBatch run_;
  struct Pending {
    Job job;
    std::promise<void> done;
    Sync sync;
  };
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Pending> jobs_;
  int waited_for_ = 0;         // queued jobs that someone waits for (not kLater)
  size_t unsaved_events_ = 0;  // events the storage refused, queued to be written again
  std::string storage_error_;
  int failed_batches_ = 0;  // in a row (writer thread only)
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace talvenix::daemon
