// SPDX-License-Identifier: Apache-2.0
#pragma once
// The GSM modem gateway over the simulator driver, for the gateway's tests.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "common/recording_logger.hpp"
#include "contract/options_record.hpp"
#include "drivers/sim/gsm_sim_client.hpp"
#include "gateways/modem/gsm_modem_gateway.hpp"
#include "gateways/modem/host_events.hpp"
#include "gateways/modem/line_record.hpp"
#include "gateways/modem/line_store_fake.hpp"

namespace talvenix::testing {

class GsmGateway : public ::testing::Test {
 protected:
  GsmGateway() : sim(sim::SimClient::Get()) {
    setenv(TALVEX_GSM_DRIVER_ENV, sim::SimClient::Path().c_str(), 1);
    sim.Reset();
    sim.SetAutoLineState(-1);  // line states only when a test reports them
  }
  ~GsmGateway() override {
    gateway.reset();
    sim.Reset();
  }

  // Loads the store's lines, starts the driver and the lines.
  int Start() {
    EXPECT_EQ(gateway->LoadServiceSpecficConfigurations(options.get(), &store), 1);
    EXPECT_EQ(gateway->ServiceInit(&HostEvents::Callback, events.context(), &store), 1);
    int started = gateway->ServiceInitLines();
    EXPECT_EQ(sim.WaitIdle(5000), 1);
    return started;
  }
  std::vector<uint32_t> RunningPorts() {
    std::vector<uint32_t> ports;
    gateway->WithLines([&](const gsm::LineRecords& lines) {
      for (const auto& line : lines) ports.push_back(line ? line->comport : 0);
    });
    return ports;
  }
  std::string CallsSince(const std::string& before) { return sim.Calls().substr(before.size()); }

  sim::SimClient& sim;
  RecordingLogger log;
  LineStoreFake store;
  OptionsRecord options;
  HostEvents events;
  std::unique_ptr<Vantrel_GSMCOMDrvInterface> gateway = std::make_unique<Vantrel_GSMCOMDrvInterface>(&log);
};

}  // namespace talvenix::testing
