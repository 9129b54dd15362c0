// SPDX-License-Identifier: Apache-2.0
#include "daemon/group_commit.hpp"

#include <pthread.h>

#include <cstdio>
#include <optional>

#include "daemon/storage_error.hpp"

namespace talvenix::daemon {

void GroupCommit::Start(const char* thread_name) {
  thread_ = std::thread([this, thread_name] {
    pthread_setname_np(pthread_self(), thread_name);
    Loop();
  });
}

void GroupCommit::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::future<void> GroupCommit::Submit(Job job, Sync sync) {
  std::promise<void> done;
  std::future<void> result = done.get_future();
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back({std::move(job), std::move(done), sync});
    if (sync != Sync::kLater) ++waited_for_;
    // An event nobody waits for wakes the writer only to start its wait for
    // company, or when enough have gathered.
    if (sync == Sync::kLater && jobs_.size() != 1 && jobs_.size() < kGatherJobs) return result;
  }
  ready_.notify_one();
  return result;
}

size_t GroupCommit::UnsavedEvents() {
  std::lock_guard lock(mutex_);
  return unsaved_events_;
}

std::string GroupCommit::StorageErrorNow() {
  std::lock_guard lock(mutex_);
  return storage_error_;
}

void GroupCommit::Loop() {
  while (true) {
    std::deque<Pending> batch;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // stopping, and everything submitted is done
      // Events nobody waits for keep each other company for a moment, so
      // that one commit writes the pages they share once, not once each.
      ready_.wait_for(lock, kGatherTime, [&] { return stopping_ || waited_for_ > 0 || jobs_.size() >= kGatherJobs; });
      waited_for_ = 0;
      batch.swap(jobs_);
    }
    std::vector<std::exception_ptr> failures(batch.size());
    Sync sync = Sync::kOsBuffers;
    std::vector<Job*> jobs;
    for (Pending& p : batch) {
      if (p.sync == Sync::kDisk) sync = Sync::kDisk;
      jobs.push_back(&p.job);
    }
    try {
      run_(jobs, sync, failures);
    } catch (...) {
      for (auto& f : failures) f = std::current_exception();
    }
    // Events nobody waits for are never dropped for a failing storage: they
    // go back to the front, in their order, and are written again after a
    // pause. Only a stop gives up on them, after a few tries.
    std::deque<Pending> again;
    std::vector<bool> kept(batch.size(), false);
    std::string storage_error;
    {
      std::lock_guard lock(mutex_);
      for (size_t i = 0; i < batch.size(); ++i) {
        std::optional<std::string> failure = failures[i] ? StorageFailure(failures[i]) : std::nullopt;
        if (!failure) continue;
        storage_error = *failure;
        kept[i] = batch[i].sync == Sync::kLater && !(stopping_ && failed_batches_ >= 3);
        if (kept[i]) again.push_back(std::move(batch[i]));
      }
      unsaved_events_ = again.size();
      jobs_.insert(jobs_.begin(), std::make_move_iterator(again.begin()), std::make_move_iterator(again.end()));
      if (storage_error.empty() != storage_error_.empty())
        std::fprintf(stderr,
                     storage_error.empty() ? "talvenixd: the queue writes again\n"
                                           : "talvenixd: the queue cannot write: %s; %zu events are kept and "
                                             "written again\n",
                     storage_error.c_str(), again.size());
      storage_error_ = storage_error;
    }
    for (size_t i = 0; i < batch.size(); ++i) {
      if (kept[i]) continue;  // to be written again
      if (failures[i])
        batch[i].done.set_exception(failures[i]);
      else
        batch[i].done.set_value();
    }
    failed_batches_ = storage_error.empty() ? 0 : failed_batches_ + 1;
    if (failed_batches_ > 0) {
      // A pause that grows, so a full disk is not written to in a loop.
      std::unique_lock lock(mutex_);
      ready_.wait_for(lock, std::chrono::milliseconds(100) * (1 << std::min(failed_batches_, 5)),
                      [&] { return stopping_; });
    }
  }
}

}  // namespace talvenix::daemon
