// What a restart makes of the messages a stopped daemon had taken: handed to
// the module means unknown, never sent again by itself; only taken means
// queued again.

#include <gtest/gtest.h>

#include "common/temp_folder.hpp"
#include "daemon/queue_sqlite.hpp"

namespace talvenix::daemon {
namespace {

TEST(SqliteQueue, ARestartTellsHandedFromOnlyTakenMessages) {
  testing::TempFolder folder{"queue"};
  const std::string path = folder.File("queue.db");
  std::vector<std::string> ids;
  {
    SqliteQueue queue(path, "");
    for (const char* text : {"handed", "pending", "taken", "sent"})
      ids.push_back(queue.Accept({"+15550100", text, "", "", "", -1}));
    std::vector<OutgoingMessage> batch = queue.ClaimNext(4);
    ASSERT_EQ(batch.size(), 4u);
    queue.MarkHanded(ids[0]);
    queue.MarkHanded(ids[1]);
    queue.RecordCode(ids[1], 112, "pending");
    queue.MarkHanded(ids[3]);
    queue.RecordCode(ids[3], 0, "success");
    queue.Flush();
  }  // the daemon stops here without the outcomes of the first two
  SqliteQueue queue(path, "");
  EXPECT_EQ(queue.MarkUnknown(), 2);
  auto state = [&](const std::string& id) { return queue.Find(id).value()["state"].get<std::string>(); };
  EXPECT_EQ(state(ids[0]), "unknown");
  EXPECT_EQ(state(ids[1]), "unknown");
  EXPECT_EQ(state(ids[2]), "queued");
  EXPECT_EQ(state(ids[3]), "sent");
  // The journal was settled: a second start changes nothing.
  EXPECT_EQ(queue.MarkUnknown(), 0);
  std::vector<OutgoingMessage> again = queue.ClaimNext(4);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].id, ids[2]);
  EXPECT_EQ(queue.Retry(ids[0]), RetryResult::kQueued);
  EXPECT_EQ(queue.Retry(ids[3]), RetryResult::kNotRetryable);
}

}  // namespace
}  // namespace talvenix::daemon
