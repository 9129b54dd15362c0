// SPDX-License-Identifier: Apache-2.0
// The queue's one writer thread: jobs gathered into one transaction each
// (one fsync for many accepted messages), each job under a savepoint of its
// own, and events the disk refused kept and written again.
#include <cstdio>

#include "daemon/queue_sqlite.hpp"

namespace talvenix::daemon {

std::future<void> SqliteQueue::Submit(Job job, Sync sync) {
  std::promise<void> done;
  std::future<void> result = done.get_future();
  {
    std::lock_guard lock(jobs_mutex_);
    jobs_.push_back({std::move(job), std::move(done), sync});
    if (sync != Sync::kLater) ++waited_for_;
    // An event nobody waits for wakes the writer only to start its wait for
    // company, or when enough have gathered.
    if (sync == Sync::kLater && jobs_.size() != 1 && jobs_.size() < kGatherJobs) return result;
  }
  jobs_ready_.notify_one();
  return result;
}

void SqliteQueue::WriterLoop() {
  while (true) {
    std::deque<Pending> batch;
    {
      std::unique_lock lock(jobs_mutex_);
      jobs_ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // stopping, and everything submitted is done
      // Events nobody waits for keep each other company for a moment, so
      // that one commit writes the pages they share once, not once each.
      jobs_ready_.wait_for(lock, kGatherTime,
                           [&] { return stopping_ || waited_for_ > 0 || jobs_.size() >= kGatherJobs; });
      waited_for_ = 0;
      batch.swap(jobs_);
    }
    std::vector<std::exception_ptr> failures(batch.size());
    try {
      Sync sync = Sync::kOsBuffers;
      for (const Pending& p : batch)
        if (p.sync == Sync::kDisk) sync = Sync::kDisk;
      if (sync != batch_sync_) {
        Exec(writer_.db, sync == Sync::kDisk ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
        batch_sync_ = sync;
      }
      // Kept prepared like every other statement: these run for every job.
      auto run = [this](const char* sql) { Statement(writer_, sql).Step(); };
      run("BEGIN IMMEDIATE");
      for (size_t i = 0; i < batch.size(); ++i) {
        // A failing job takes back only its own changes.
        run("SAVEPOINT job");
        try {
          batch[i].job();
          run("RELEASE job");
        } catch (...) {
          failures[i] = std::current_exception();
          run("ROLLBACK TO job");
          run("RELEASE job");
        }
      }
      run("COMMIT");
    } catch (...) {
      sqlite3_exec(writer_.db, "ROLLBACK", nullptr, nullptr, nullptr);
      for (auto& f : failures) f = std::current_exception();
    }
    // Events nobody waits for are never dropped for a failing disk: they go
    // back to the front, in their order, and are written again after a
    // pause; until then the journal keeps the ids of handed messages. Only
    // a stop gives up on them, after a few tries: the journal still names
    // their messages, so the next start makes those unknown.
    std::deque<Pending> again;
    std::vector<bool> kept(batch.size(), false);
    std::string storage_error;
    {
      std::lock_guard lock(jobs_mutex_);
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
      std::unique_lock lock(jobs_mutex_);
      jobs_ready_.wait_for(lock, std::chrono::milliseconds(100) * (1 << std::min(failed_batches_, 5)),
                           [&] { return stopping_; });
    }
  }
}

void SqliteQueue::Woken() {
  {
    std::lock_guard lock(work_mutex_);
    work_ = true;
  }
  work_cv_.notify_all();
}

void SqliteQueue::WaitForWork(std::chrono::milliseconds limit) {
  std::unique_lock lock(work_mutex_);
  work_cv_.wait_for(lock, limit, [&] { return work_; });
  work_ = false;
}

}  // namespace talvenix::daemon
