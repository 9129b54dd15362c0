// SPDX-License-Identifier: Apache-2.0
// The SQLite queue under load from many threads: clients accepting while the
// dispatcher claims and the module's threads record codes, all through one
// writer thread.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "common/temp_folder.hpp"
#include "daemon/queue_sqlite.hpp"

namespace talvenix::daemon {
namespace {

TEST(SqliteQueueConcurrency, EveryAcceptedMessageIsClaimedOnceAndReportedOnce) {
  testing::TempFolder folder{"queue"};
  SqliteQueue queue(folder.File("queue.db"), "http://127.0.0.1:9/hook");
  constexpr int kClients = 8, kEach = 40, kTotal = kClients * kEach;

  std::mutex mutex;
  std::set<std::string> accepted, claimed;
  std::atomic<bool> clients_done{false};
  std::thread dispatcher([&] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      std::vector<OutgoingMessage> batch = queue.ClaimNext(16);
      if (batch.empty()) {
        if (clients_done && claimed.size() == kTotal) return;
        queue.WaitForWork(std::chrono::milliseconds(20));
        continue;
      }
      for (const OutgoingMessage& m : batch) {
        queue.MarkHanded(m.id);
        EXPECT_TRUE(claimed.insert(m.id).second) << m.id << " was claimed twice";
        // The outcome arrives on another thread, as the module's callback does.
        std::thread([&queue, id = m.id] { queue.RecordCode(id, 0, "success"); }).join();
      }
    }
  });
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      for (int i = 0; i < kEach; ++i) {
        std::string id = queue.Accept({"+15550100", "m" + std::to_string(c) + "." + std::to_string(i), "", "", "", -1});
        std::lock_guard lock(mutex);
        accepted.insert(id);
      }
    });
  for (auto& t : clients) t.join();
  clients_done = true;
  dispatcher.join();
  queue.Flush();

  EXPECT_EQ(accepted.size(), static_cast<size_t>(kTotal));
  EXPECT_EQ(claimed, accepted);
  QueueStats stats = queue.Stats();
  EXPECT_EQ(stats.messages_per_state["sent"], kTotal);
  EXPECT_EQ(stats.sent_total, kTotal);
  std::set<std::string> events;
  for (const WebhookDelivery& d : queue.DueWebhooks(NowMs(), 10 * kTotal)) events.insert(d.event_id);
  EXPECT_EQ(events.size(), static_cast<size_t>(kTotal)) << "one outcome event per message";
}

}  // namespace
}  // namespace talvenix::daemon
