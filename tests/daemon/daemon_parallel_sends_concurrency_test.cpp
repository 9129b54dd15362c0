// SPDX-License-Identifier: Apache-2.0
// talvenixd with eight sends in flight through the Clickatell gateway, its
// sender count changed by a reload while it sends, then stopped: run under
// ThreadSanitizer (the daemon and the module of that build), a race in the
// dispatcher's senders, the engine or the gateway ends the daemon with its
// report, and the test sees it.

#include <gtest/gtest.h>

#include <map>

#include "daemon/daemon_fixture.hpp"
#include "gateways/internet/clickatell_document.hpp"
#include "peers/http_peer.hpp"

namespace talvenix::testing {
namespace {

TEST(DaemonParallelSends, EightInFlightAReloadBetweenAndAStopRaceWithNothing) {
  HttpPeer provider;
  provider.AnswerAfter(std::chrono::milliseconds(2));
  DaemonSettings settings{ClickatellDocument({"api1", "user", "pw", "Shop"}, provider.base()), ""};
  settings.more_ini = "[queue]\nparallel = 8\n";
  DaemonProcess daemon(settings);
  ASSERT_TRUE(daemon.Start());
  std::vector<std::string> ids;
  const std::string ini = daemon.folder().Read("talvenixd.ini");
  for (int i = 0; i < 200; ++i) {
    ids.push_back(daemon.Send({{"to", "+15550100"}, {"text", "parallel " + std::to_string(i)}}));
    ASSERT_FALSE(ids.back().empty()) << daemon.folder().Read("daemon.err");
    if (i == 100) {
      daemon.folder().Write("talvenixd.ini", ini + "[queue]\nparallel = 3\n");
      daemon.Signal(SIGHUP);
    }
  }
  for (const std::string& id : ids)
    ASSERT_TRUE(WaitUntil([&] { return daemon.State(id) == "sent"; })) << id << daemon.folder().Read("daemon.err");
  std::map<std::string, int> texts;
  for (const RecordedRequest& r : provider.requests()) ++texts[r.params.find("text")->second];
  EXPECT_EQ(texts.size(), ids.size());
  for (const auto& [text, count] : texts) EXPECT_EQ(count, 1) << text;
  EXPECT_GT(provider.most_at_once(), 1);
  EXPECT_TRUE(daemon.Terminate()) << daemon.folder().Read("daemon.err");
  EXPECT_EQ(daemon.folder().Read("daemon.err").find("ThreadSanitizer"), std::string::npos)
      << daemon.folder().Read("daemon.err");
}

}  // namespace
}  // namespace talvenix::testing
