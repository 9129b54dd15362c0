// SPDX-License-Identifier: Apache-2.0
#pragma once
// The module loaded like a host loads it, the GSM modem service selected, the
// AT driver as its driver and simulated modems on pseudo-terminals as the
// devices of the lines (named in the host settings' [serialports]; on Windows
// COM ports of the Wine prefix).

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <thread>

#include "common/temp_folder.hpp"
#include "drivers/at/at_driver_platform.hpp"
#include "drivers/at/line_failures.hpp"
#include "drivers/at/modem_sim.hpp"
#include "gateways/modem/gsm_document.hpp"
#include "gateways/modem/host_events.hpp"
#include "hostkit/module.hpp"
#include "talvenix/gsm_driver.h"

namespace talvenix::testing {

class AtDriverFixture : public ::testing::Test {
 protected:
  AtDriverFixture() {
    m.Unint();
    m.Unint();
    setenv(TALVEX_GSM_DRIVER_ENV, TALVENIX_AT_DRIVER_PATH, 1);
    setenv("TALVENIX_HOST_SETTINGS", HostSettingsLocation(folder).c_str(), 1);
    setenv("TALVENIX_AT_TIMING", "command=500,submit=1500,keepalive=400,backoff=100,backoffmax=200,reassembly=400", 1);
  }
  ~AtDriverFixture() override {
    m.Unint();
    m.Unint();
    unsetenv("TALVENIX_AT_TIMING");
    unsetenv("TALVENIX_HOST_SETTINGS");
    unsetenv(TALVEX_GSM_DRIVER_ENV);
    RemoveHostSettings(folder);
  }

  std::string Device(int port) const { return ModemDevice(folder, port); }
  void WriteHostSettings(const std::string& ini) { testing::WriteHostSettings(folder, ini); }

  // Lines with the default properties of GsmDocument, each on Device(port).
  void Configure(const std::vector<DocumentLine>& lines) {
    std::string ini = "[serialports]\n";
    for (const DocumentLine& l : lines) ini += "COM" + std::to_string(l.port) + "=" + Device(l.port) + "\n";
    WriteHostSettings(ini);
    folder.Write("qvsmscomms.xml", GsmDocument(lines));
  }
  int32_t Start() { return m.InitTalvex(events.context(), &HostEvents::Callback, &options); }

  // True once `done` holds for the events so far (checked every 10 ms, for at most `ms`).
  bool WaitUntil(const std::function<bool(const std::vector<HostEvent>&)>& done, int ms = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
      if (done(events.All())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done(events.All());
  }
  // Line-state events of `port` with `code`, counted.
  size_t States(int port, int32_t code) {
    size_t n = 0;
    for (const HostEvent& e : events.OfKind(TALVEX_EVENT_LINE_STATE)) n += e.extra == port && e.code == code;
    return n;
  }
  bool WaitState(int port, int32_t code, size_t count = 1, int ms = 5000) {
    return WaitUntil([&](const auto&) { return States(port, code) >= count; }, ms);
  }

  // A host request that lives as long as the fixture.
  TalvexSmsRequest* Request(const std::u16string& text, const char* recipient = "+46708251358") {
    auto& r = requests.emplace_back();
    r.buffer = text;
    r.buffer.resize(text.size() + 600, u'\0');
    r.request.text = r.buffer.data();
    r.request.text_capacity = static_cast<uint32_t>(r.buffer.size());
    r.request.recipient = recipient;
    return &r.request;
  }
  // The outcome codes of one request, in arrival order.
  std::vector<int32_t> Outcomes(const TalvexSmsRequest* request) {
    std::vector<int32_t> codes;
    for (const HostEvent& e : events.OfKind(TALVEX_EVENT_OUTCOME))
      if (e.data == request) codes.push_back(e.code);
    return codes;
  }
  bool WaitOutcome(const TalvexSmsRequest* request, int ms = 5000) {
    return WaitUntil([&](const auto&) { return !Outcomes(request).empty(); }, ms);
  }
  std::vector<HostEvent> Received(uint32_t data_kind) {
    std::vector<HostEvent> out;
    for (const HostEvent& e : events.OfKind(TALVEX_EVENT_RECEIVED))
      if (e.data_kind == data_kind) out.push_back(e);
    return out;
  }
  bool WaitReceived(uint32_t data_kind, size_t count, int ms = 5000) {
    return WaitUntil([&](const auto&) { return Received(data_kind).size() >= count; }, ms);
  }
  std::string DriverLog() { return folder.Read("qvGSMcomdrv.log"); }

  struct HeldRequest {
    std::u16string buffer;
    TalvexSmsRequest request{};
  };

  host::Module& m = host::Module::Get();
  TempFolder folder{"at-driver"};
  WorkingFolder cwd{folder.path()};
  HostEvents events;
  TalvexGenericOptions* options = nullptr;
  std::deque<HeldRequest> requests;
};

}  // namespace talvenix::testing
