// SPDX-License-Identifier: Apache-2.0
#pragma once
// CAThreadPool: worker threads that wait on one completion port and run work
// items and I/O completions. Every packet's key is a WorkItem. Results are
// platform::Error: kShutDown for a pool that is not started (or a handle that
// cannot be associated with it), kNoMemory for an item that cannot be made,
// else what the platform reported. Initialize and Shutdown belong to the
// pool's owner; QueueWorkItem may be called from any thread, also from a
// running item.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/completion_port.hpp"
#include "platform/sync.hpp"

namespace talvenix {

// The callback of a work item: (context, address of the item's kind, the
// packet's overlapped pointer, bytes transferred, why the read failed or no
// error). Its result is not used.
using WorkItemCallback = uint32_t (*)(void* context, uint32_t* kind, platform::Overlapped* overlapped, uint32_t bytes,
                                      platform::Error error);

enum WorkItemKind : uint32_t { kWorkItemRun = 1, kWorkItemStop = 2 };

struct WorkItem {
  WorkItemCallback callback = nullptr;
  uint32_t kind = kWorkItemRun;
  void* context = nullptr;
  uint32_t delete_after_run = 0;       // 1: the pool allocated it and frees it after the run
  uint32_t control = 0;                // 0 for items to run; the stop item carries 1
  std::atomic<uint32_t> cancelled{0};  // non-zero: packets with this key are ignored
  std::atomic<int32_t> in_use{0};      // callbacks running right now
};

enum ThreadState : int32_t {
  kThreadIdle = 0,       // waiting for a packet
  kThreadBusy = 1,       // running an item
  kThreadSuspended = 2,  // created suspended (never by this pool)
  kThreadExit = 3,       // leaving
  kThreadUninit = 4      // created, not yet running
};

class CAThreadPool;

struct WorkerRecord {
  CAThreadPool* pool = nullptr;
  std::thread::id thread_id;
  uint32_t reserved = 0;
  uint32_t index = 0;  // creation order, from 0
  std::thread thread;
  std::atomic<int32_t> state{kThreadUninit};
};

class CAThreadPool {
 public:
  CAThreadPool() = default;
  virtual ~CAThreadPool();  // shuts down a started pool
  CAThreadPool(const CAThreadPool&) = delete;
  CAThreadPool& operator=(const CAThreadPool&) = delete;

  // Starts `thread_count` workers (0: twice the processor count plus one).
  // No error when already started. A worker that cannot be started is left
  // out; kTryAgain when none can.
  virtual platform::Error Initialize(uint32_t thread_count);
  // Runs callback(context, ...) on a worker; kShutDown before Initialize.
  virtual platform::Error QueueWorkItem(void* context, WorkItemCallback callback);
  // Stops every worker after the items queued before it and waits for them;
  // items still queued then are dropped, and those the pool allocated are
  // freed. kShutDown when not started; kBusy from a worker, which would wait
  // for itself.
  virtual platform::Error Shutdown();
  // Completions of reads on `fd` run `key`'s callback; `key` (kind 1, delete
  // flag clear) must outlive the pool's started state. kShutDown when not
  // started, else the platform's reason when the descriptor cannot be bound.
  virtual platform::Error AssociateHandle(platform::NativeHandle fd, WorkItem* key);
  // Starts a read on an associated descriptor: no error when it completed at
  // once, kPending when it completes later (either way a completion follows),
  // else why it failed (no completion follows).
  virtual platform::Error StartRead(platform::NativeHandle fd, void* buffer, size_t size, platform::Overlapped* overlapped);

  virtual uint32_t GetProcessorCount();
  virtual std::atomic<int32_t>* GetLiveCounter() { return &live_; }
  virtual uint32_t GetThreadCount() { return thread_count_; }
  virtual const char* GetThreadStateName(int32_t state);
  // Stores the state and returns the previous one.
  virtual int32_t SetThreadState(WorkerRecord* worker, int32_t state);

  bool IsStarted() const { return started_; }
  // True on one of this pool's workers.
  bool IsWorkerThread() const;
  // Pool-allocated items that the last Shutdown found unrun and freed.
  uint32_t DroppedAtLastShutdown() const { return dropped_at_shutdown_; }

 private:
  static void WorkerLoop(WorkerRecord* worker);
  std::shared_ptr<platform::CompletionPort> Port();

  std::atomic<bool> started_{false};
  std::mutex port_mutex_;  // the port pointer: QueueWorkItem may race Shutdown
  std::shared_ptr<platform::CompletionPort> port_;
  std::unique_ptr<platform::ManualResetEvent> shutdown_event_;
  uint32_t thread_count_ = 0;
  std::atomic<int32_t> live_{0};
  std::vector<std::unique_ptr<WorkerRecord>> workers_;
  uint32_t dropped_at_shutdown_ = 0;
};

}  // namespace talvenix
