// What a restart makes of the messages a stopped daemon had taken: handed to
// the module means unknown, never sent again by itself; only taken means
// queued again, unless the machine restarted too (its journal of handed
// messages may be lost with the kernel's buffers).

#include <gtest/gtest.h>

#include <filesystem>

#include "common/temp_folder.hpp"
#include "daemon/queue_sqlite.hpp"

namespace talvenix::daemon {
namespace {

TEST(SqliteQueue, ARestartTellsHandedFromOnlyTakenMessages) {
  testing::TempFolder folder{"queue"};
  const std::string path = folder.File("queue.db");
  std::vector<std::string> ids;
  {
    SqliteQueue queue(path, "", "boot-1");
    EXPECT_EQ(queue.MarkUnknown(), 0);  // as the daemon starts
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
  SqliteQueue queue(path, "", "boot-1");
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

TEST(SqliteQueue, AfterAPowerCutEveryTakenMessageIsUnknown) {
  testing::TempFolder folder{"queue"};
  const std::string path = folder.File("queue.db");
  std::vector<std::string> ids;
  {
    SqliteQueue queue(path, "", "boot-1");
    queue.MarkUnknown();
    for (const char* text : {"handed", "taken"}) ids.push_back(queue.Accept({"+15550100", text, "", "", "", -1}));
    ASSERT_EQ(queue.ClaimNext(2).size(), 2u);
    queue.MarkHanded(ids[0]);
  }
  // The power cut took the journal's unsynced lines with it.
  std::filesystem::remove(path + "-handed");
  SqliteQueue queue(path, "", "boot-2");
  EXPECT_EQ(queue.MarkUnknown(), 2);
  for (const std::string& id : ids) EXPECT_EQ(queue.Find(id).value()["state"], "unknown");
  EXPECT_TRUE(queue.ClaimNext(2).empty());
}

}  // namespace
}  // namespace talvenix::daemon
