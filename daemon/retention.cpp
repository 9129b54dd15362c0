// SPDX-License-Identifier: Apache-2.0
#include "daemon/retention.hpp"

#include <pthread.h>

#include <cstdio>

namespace talvenix::daemon {
namespace {

constexpr int kBatch = 256;
constexpr auto kInterval = std::chrono::hours(1);
constexpr int64_t kDayMs = 24LL * 3600 * 1000;

}  // namespace

Retention::Retention(MessageQueue& queue, int keep_days) : queue_(queue), keep_days_(keep_days) {}

Retention::~Retention() { Stop(); }

void Retention::Start() {
  if (keep_days_ > 0)
    thread_ = std::thread([this] {
      pthread_setname_np(pthread_self(), "retention");
      Loop();
    });
}

void Retention::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

DeletedCounts Retention::Sweep(int64_t now_ms) {
  const int64_t before_ms = now_ms - keep_days_ * kDayMs;
  DeletedCounts total;
  while (true) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
    }
    DeletedCounts batch = queue_.DeleteSettled(before_ms, kBatch);
    total.messages += batch.messages;
    total.webhooks += batch.webhooks;
    if (batch.messages < kBatch && batch.webhooks < kBatch) break;
  }
  return total;
}

void Retention::Loop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    try {
      DeletedCounts deleted = Sweep(NowMs());
      if (deleted.messages > 0 || deleted.webhooks > 0)
        std::fprintf(stderr,
                     "talvenixd: retention: deleted %lld message(s) and %lld webhook event(s) settled more than "
                     "%d day(s) ago\n",
                     static_cast<long long>(deleted.messages), static_cast<long long>(deleted.webhooks), keep_days_);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "talvenixd: retention: the queue failed: %s\n", e.what());
    }
    lock.lock();
    wake_.wait_for(lock, kInterval, [&] { return stopping_; });
  }
}

}  // namespace talvenix::daemon
