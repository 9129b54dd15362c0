// SPDX-License-Identifier: Apache-2.0
// How the SQLite queue commits a batch of its writer's jobs: one
// transaction, each job under a savepoint of its own; and how waiters learn
// that something may be queued.
#include "daemon/queue_sqlite.hpp"

namespace talvenix::daemon {

void SqliteQueue::RunBatch(const std::vector<GroupCommit::Job*>& jobs, Sync sync,
                           std::vector<std::exception_ptr>& failures) {
  try {
    if (sync != batch_sync_) {
      Exec(writer_.db, sync == Sync::kDisk ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
      batch_sync_ = sync;
    }
    // Kept prepared like every other statement: these run for every job.
    auto run = [this](const char* sql) { Statement(writer_, sql).Step(); };
    run("BEGIN IMMEDIATE");
    for (size_t i = 0; i < jobs.size(); ++i) {
      // A failing job takes back only its own changes.
      run("SAVEPOINT job");
      try {
        (*jobs[i])();
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
