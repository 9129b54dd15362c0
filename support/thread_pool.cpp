// SPDX-License-Identifier: Apache-2.0
#include "support/thread_pool.hpp"

#include <new>
#include <system_error>

namespace talvenix {

using platform::Error;
using platform::ErrorKind;
using platform::Packet;

CAThreadPool::~CAThreadPool() {
  if (started_) Shutdown();
}

std::shared_ptr<platform::CompletionPort> CAThreadPool::Port() {
  std::lock_guard lock(port_mutex_);
  return port_;
}

Error CAThreadPool::Initialize(uint32_t thread_count) {
  if (started_) return platform::kNoError;
  Error error;
  std::shared_ptr<platform::CompletionPort> port = platform::CompletionPort::Create(&error);
  if (!port) return error;
  {
    std::lock_guard lock(port_mutex_);
    port_ = port;
  }
  shutdown_event_ = std::make_unique<platform::ManualResetEvent>();
  if (thread_count == 0) thread_count = 2 * GetProcessorCount() + 1;
  for (uint32_t i = 0; i < thread_count; ++i) {
    auto worker = std::make_unique<WorkerRecord>();
    worker->pool = this;
    worker->index = i;
    try {
      worker->thread = std::thread(&CAThreadPool::WorkerLoop, worker.get());
    } catch (const std::system_error&) {
      continue;  // fewer workers, as the system allows
    }
    worker->thread_id = worker->thread.get_id();
    ++live_;
    ++thread_count_;
    workers_.push_back(std::move(worker));
  }
  if (workers_.empty()) {
    // Without a worker nothing would ever run and Shutdown would wait for ever.
    std::lock_guard lock(port_mutex_);
    port_.reset();
    port->Close();
    shutdown_event_.reset();
    return Error(ErrorKind::kTryAgain);
  }
  started_ = true;
  return platform::kNoError;
}

Error CAThreadPool::QueueWorkItem(void* context, WorkItemCallback callback) {
  if (!started_) return Error(ErrorKind::kShutDown);
  std::shared_ptr<platform::CompletionPort> port = Port();
  if (!port) return Error(ErrorKind::kShutDown);
  auto* item = new (std::nothrow) WorkItem;
  if (!item) return Error(ErrorKind::kNoMemory);
  item->callback = callback;
  item->kind = kWorkItemRun;
  item->context = context;
  item->delete_after_run = 1;
  Error error = port->Post(Packet{reinterpret_cast<uintptr_t>(item), sizeof(uint32_t) * 7, nullptr, {}});
  if (error) delete item;
  return error;
}

void CAThreadPool::WorkerLoop(WorkerRecord* worker) {
  CAThreadPool* pool = worker->pool;
  std::shared_ptr<platform::CompletionPort> port = pool->Port();
  WorkItem* stop = nullptr;
  for (;;) {
    pool->SetThreadState(worker, kThreadIdle);
    Packet packet;
    bool received = port->Get(packet);
    pool->SetThreadState(worker, kThreadBusy);
    if (!received) break;  // the port was closed under us
    auto* item = reinterpret_cast<WorkItem*>(packet.key);
    if (!item || item->cancelled) continue;
    if (item->control == 0 && item->kind == kWorkItemRun) {
      ++item->in_use;
      if (item->callback) item->callback(item->context, &item->kind, packet.overlapped, packet.bytes, packet.error);
      --item->in_use;
      if (item->delete_after_run) delete item;
      continue;
    }
    if (item->control != 0 && item->kind == kWorkItemStop) {
      stop = item;
      break;
    }
  }
  pool->SetThreadState(worker, kThreadExit);
  // The last worker out wakes Shutdown; every other one hands the stop item on
  // behind whatever is queued, so items queued before Shutdown still run.
  if (--pool->live_ < 1)
    pool->shutdown_event_->Set();
  else if (stop)
    port->Post(Packet{reinterpret_cast<uintptr_t>(stop), 2, nullptr, {}});
}

Error CAThreadPool::Shutdown() {
  if (!started_) return Error(ErrorKind::kShutDown);
  if (IsWorkerThread()) return Error(ErrorKind::kBusy);  // it would wait for itself
  std::shared_ptr<platform::CompletionPort> port = Port();
  auto* stop = new (std::nothrow) WorkItem;
  if (!stop) return Error(ErrorKind::kNoMemory);
  stop->kind = kWorkItemStop;
  stop->control = 1;
  port->Post(Packet{reinterpret_cast<uintptr_t>(stop), 0, nullptr, {}});
  shutdown_event_->Wait();
  for (auto& worker : workers_)
    if (worker->thread.joinable()) worker->thread.join();

  {
    std::lock_guard lock(port_mutex_);
    port_.reset();
  }
  dropped_at_shutdown_ = 0;
  for (const Packet& packet : port->Close()) {
    auto* item = reinterpret_cast<WorkItem*>(packet.key);
    if (item && item != stop && item->delete_after_run) {
      delete item;
      ++dropped_at_shutdown_;
    }
  }
  started_ = false;
  thread_count_ = 0;
  live_ = 0;
  delete stop;
  workers_.clear();
  shutdown_event_.reset();
  return platform::kNoError;
}

Error CAThreadPool::AssociateHandle(platform::NativeHandle fd, WorkItem* key) {
  std::shared_ptr<platform::CompletionPort> port = started_ ? Port() : nullptr;
  if (!port) return Error(ErrorKind::kShutDown);
  return port->Associate(fd, reinterpret_cast<uintptr_t>(key));
}

Error CAThreadPool::StartRead(platform::NativeHandle fd, void* buffer, size_t size, platform::Overlapped* overlapped) {
  std::shared_ptr<platform::CompletionPort> port = Port();
  if (!port) return Error(ErrorKind::kShutDown);
  return port->StartRead(fd, buffer, size, overlapped);
}

uint32_t CAThreadPool::GetProcessorCount() {
  unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

const char* CAThreadPool::GetThreadStateName(int32_t state) {
  switch (state) {
    case kThreadIdle:
    case kThreadSuspended:
      return "THREAD_ST_IDLE";
    case kThreadBusy:
      return "THREAD_ST_BUSY";
    case kThreadExit:
      return "THREAD_ST_EXIT";
    case kThreadUninit:
      return "THREAD_ST_UNINIT";
    default:
      return "NULL";
  }
}

int32_t CAThreadPool::SetThreadState(WorkerRecord* worker, int32_t state) { return worker->state.exchange(state); }

bool CAThreadPool::IsWorkerThread() const {
  auto self = std::this_thread::get_id();
  for (const auto& worker : workers_)
    if (worker->thread_id == self) return true;
  return false;
}

}  // namespace talvenix
