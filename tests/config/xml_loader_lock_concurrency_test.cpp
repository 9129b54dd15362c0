// SPDX-License-Identifier: Apache-2.0
// Changes of one configuration file by several loaders at once: every
// load-change-save holds the file's lock, so no change is lost, and a writer
// that cannot get the lock in time fails instead of overwriting.

#include <atomic>
#include <thread>
#include <vector>

#include "contract/service.hpp"
#include "engine/generic_options.hpp"
#include "loader_fixture.hpp"
#include "support/text_codec.hpp"

namespace talvenix {
namespace {

using testing::Document;
using testing::LoaderTest;
using testing::Option;

std::string Modems() {
  return Document(Option("enableengine", "yes") + Option("maxsmssplit", "3"),
                  "      <service name=\"Modems\" transport=\"simple_gsm\">\n        <lines/>\n"
                  "        <properties/>\n      </service>\n");
}

class EditLockTest : public LoaderTest {
 protected:
  void SetUp() override { Use(Modems()); }
};

TEST_F(EditLockTest, ConcurrentChangesAreAllKept) {
  constexpr int kWriters = 3, kLinesEach = 15;
  std::vector<std::thread> writers;
  std::atomic<int> failures{0};
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      testing::RecordingLogger log;
      XMLLoader loader(&log, path_.c_str(), "sms");
      for (int i = 0; i < kLinesEach; ++i) {
        std::u16string port = Utf8ToUtf16(std::to_string(100 * w + i));
        LineTemplate line = {{u"COM Port", u"[comport]", port}};
        if (loader.CreateNewLine(u"simple_gsm", &line) != 1) ++failures;
        if (i % 5 == 0) {
          TalvexGenericOptions o{};
          o.maxsmssplit = 100 * w + i;
          if (UpdateGenericXMLConfigs(&loader, &o, TALVEX_OPT_MAXSMSSPLIT) != 1) ++failures;
        }
      }
    });
  }
  for (auto& t : writers) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(loader_->LoadServiceConfigsEx(u"simple_gsm", u"[comport]", nullptr), kWriters * kLinesEach);
  EXPECT_EQ(folder_.CountEntries(), 1) << "no lock file or temporary file stays behind";
}

TEST_F(EditLockTest, AWriterThatCannotGetTheLockFailsAndWritesNothing) {
  platform::FileLock other_program;
  ASSERT_FALSE(other_program.Acquire(platform::LockPathFor(path_), std::chrono::milliseconds(0)));
  loader_->SetEditWait(std::chrono::milliseconds(50));
  TalvexGenericOptions o{};
  o.maxsmssplit = 9;
  EXPECT_EQ(UpdateGenericXMLConfigs(loader_.get(), &o, TALVEX_OPT_MAXSMSSPLIT), 0);
  LineTemplate line = {{u"COM Port", u"[comport]", u"7"}};
  EXPECT_EQ(loader_->CreateNewLine(u"simple_gsm", &line), 0);
  EXPECT_TRUE(log_.Has(Severity::Error, "XMLLoader::CreateNewLine - " + path_ +
                                            " is being changed by another program; gave up after 50 ms."));
  EXPECT_TRUE(FileUnchanged());

  other_program.Release();
  EXPECT_EQ(loader_->CreateNewLine(u"simple_gsm", &line), 1) << "the lock is free again";
  EXPECT_EQ(folder_.CountEntries(), 1);
}

}  // namespace
}  // namespace talvenix
