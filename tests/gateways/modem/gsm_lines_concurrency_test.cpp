// SPDX-License-Identifier: Apache-2.0
// The simulator's line threads call back (messages, line states, unknown
// ports, send outcomes) while the host sends and applies configuration
// changes that restart lines under them.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <map>
#include <memory>
#include <thread>

#include "common/temp_folder.hpp"
#include "drivers/sim/gsm_sim_client.hpp"
#include "gateways/modem/gsm_document.hpp"
#include "gateways/modem/host_events.hpp"
#include "hostkit/module.hpp"

namespace talvenix::testing {
namespace {

using host::Module;
using sim::SimClient;

struct OwnedRequest {
  std::u16string text = std::u16string(u"Concurrent hello") + std::u16string(48, u'\0');
  TalvexSmsRequest request{};
  OwnedRequest() {
    request.text = text.data();
    request.text_capacity = static_cast<uint32_t>(text.size());
    request.recipient = "+15550100";
  }
};

TEST(GsmLinesConcurrency, CallbacksWhileTheHostSendsAndUpdates) {
  Module& m = Module::Get();
  SimClient& sim = SimClient::Get();
  TempFolder folder{"gsm-concurrency"};
  WorkingFolder cwd{folder.path()};
  setenv(TALVEX_GSM_DRIVER_ENV, SimClient::Path().c_str(), 1);
  sim.Reset();
  sim.SetAutoLineState(0);
  sim.SetSendResult(TALVEX_PENDING, TALVEX_OK, 1);

  std::vector<DocumentLine> lines = {{3, 9600, "A"}, {4, 9600, "B"}, {5, 9600, "C"}};
  folder.Write("qvsmscomms.xml", GsmDocument(lines));
  HostEvents events;
  TalvexGenericOptions* options = nullptr;
  ASSERT_EQ(m.InitTalvex(events.context(), &HostEvents::Callback, &options), TALVEX_OK);

  std::atomic<bool> stop{false};
  std::atomic<int> posted{0};
  std::vector<std::thread> drivers;
  for (uint32_t port : {3u, 4u, 5u}) {
    drivers.emplace_back([&, port] {
      // Bounded, so a slow machine (ThreadSanitizer under load) is not left with
      // a backlog the simulator cannot drain in time.
      for (int i = 0; !stop && i < 3000; ++i) {
        if (sim.DeliverSms(port, "+4470000", "ping", port) == 1) ++posted;
        sim.ReportLineState(port, i % 3 == 0 ? 5 : 0);
        sim.Inject(port, 0, 77, TALVEX_DRV_LINE_STATE, 0, 0);  // a port nobody configured
        std::this_thread::yield();
      }
    });
  }

  std::vector<std::unique_ptr<OwnedRequest>> requests;
  int pending = 0;
  for (int round = 0; round < 40; ++round) {
    for (int i = 0; i < 5; ++i) {
      requests.push_back(std::make_unique<OwnedRequest>());
      int32_t code = m.SendSMS(&requests.back()->request);
      ASSERT_TRUE(code == TALVEX_PENDING || code == TALVEX_FAILED) << code;  // failed: no line at that moment
      pending += code == TALVEX_PENDING;
    }
    // Restart a line under the callbacks, sometimes the one that sends.
    lines[round % 2 == 0 ? 1 : 0].baud = round % 4 < 2 ? 19200 : 9600;
    folder.Write("qvsmscomms.xml", GsmDocument(lines));
    uint32_t mask = 0;
    ASSERT_EQ(m.Update(&mask, 1, 1, &options), TALVEX_UPDATE_APPLIED);
  }
  stop = true;
  for (std::thread& t : drivers) t.join();
  // Never return before Unint: driver threads would call into `events` after it is gone.
  EXPECT_EQ(sim.WaitIdle(60000), 1);
  m.Unint();  // anything still pending is reported now

  // Every pending request got exactly one outcome, the host's own request each time.
  std::map<void*, int> outcomes;
  for (const HostEvent& e : events.OfKind(TALVEX_EVENT_OUTCOME)) {
    ++outcomes[e.data];
    EXPECT_TRUE(e.code == TALVEX_OK || e.code == TALVEX_ABORTED) << e.code;
  }
  EXPECT_EQ(static_cast<int>(outcomes.size()), pending);
  for (auto& [request, count] : outcomes) EXPECT_EQ(count, 1);
  size_t received = events.OfKind(TALVEX_EVENT_RECEIVED).size();
  EXPECT_GT(received, 0u);
  EXPECT_LE(received, static_cast<size_t>(posted.load()));  // a restart drops what was still queued
  EXPECT_GT(events.OfKind(TALVEX_EVENT_LINE_STATE).size(), 0u);
  sim.Reset();
}

}  // namespace
}  // namespace talvenix::testing
