// SPDX-License-Identifier: Apache-2.0
#pragma once
// The device gateway driven like a host drives it: the module loaded with
// dlopen, a qvsmscomms.xml that selects the device service in a fresh working
// folder, and the device simulator on a loopback port.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <deque>
#include <memory>
#include <string>

#include "common/temp_folder.hpp"
#include "gateways/modem/host_events.hpp"
#include "hostkit/module.hpp"
#include "peers/isms_device_sim.hpp"

namespace talvenix::testing {

inline std::string MultitechDocument(const std::string& user, const std::string& password, int port,
                                     const std::string& address = "127.0.0.1") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vantrelcomms>\n <sms>\n  <config>\n"
         "   <option name=\"enableengine\" value=\"yes\"/>\n"
         "   <option name=\"selectedservice\" value=\"Multi-Tech iSMS\"/>\n"
         "   <option name=\"splitsms\" value=\"yes\"/>\n"
         "   <option name=\"maxsmssplit\" value=\"3\"/>\n"
         "   <option name=\"maxsmschars\" value=\"160\"/>\n"
         "  </config>\n  <services>\n"
         "   <service name=\"Multi-Tech iSMS\" transport=\"multitechisms\">\n    <properties>\n"
         "     <property id=\"[username]\" name=\"User Name\" value=\"" +
         user +
         "\">"
         "<description><eng>API user</eng></description></property>\n"
         "     <property id=\"[password]\" name=\"Password\" value=\"" +
         password +
         "\">"
         "<description><eng>API password</eng></description></property>\n"
         "     <property id=\"[ipaddress]\" name=\"Address\" value=\"" +
         address +
         "\">"
         "<description><eng>Device address</eng></description></property>\n"
         "     <property id=\"[port]\" name=\"Port\" value=\"" +
         std::to_string(port) +
         "\">"
         "<description><eng>Device port</eng></description></property>\n"
         "    </properties>\n   </service>\n  </services>\n </sms>\n <templates/>\n</vantrelcomms>\n";
}

// A host-owned SMS request whose text buffer stays put until the test ends.
struct OutgoingSms {
  OutgoingSms(const std::u16string& text, const char* number) : buffer(text) {
    buffer.resize(text.size() + 32, u'\0');
    request.text = buffer.data();
    request.text_capacity = static_cast<uint32_t>(buffer.size());
    request.recipient = number;
  }
  std::u16string buffer;
  TalvexSmsRequest request{};
};

class MultitechHostTest : public ::testing::Test {
 protected:
  MultitechHostTest() {
    m.Unint();
    m.Unint();
    setenv("TALVENIX_POLL_INTERVAL_MS", "40", 1);
    setenv("TALVENIX_LOG_LEVEL", "3", 1);
    EXPECT_TRUE(device.Start());
    Configure("admin", "s3cret");
  }
  ~MultitechHostTest() override {
    m.Unint();
    m.Unint();
    device.Stop();
    unsetenv("TALVENIX_POLL_INTERVAL_MS");
    unsetenv("TALVENIX_LOG_LEVEL");
  }

  void Configure(const std::string& user, const std::string& password) {
    folder.Write("qvsmscomms.xml", MultitechDocument(user, password, device.port()));
  }
  int32_t Start() { return m.InitTalvex(events.context(), &HostEvents::Callback, &options); }
  TalvexSmsRequest* NewSms(const std::u16string& text = u"Hello", const char* number = "+15550100") {
    return &outgoing.emplace_back(text, number).request;
  }
  // The outcome events of one request.
  std::vector<HostEvent> OutcomesOf(const TalvexSmsRequest* r) {
    std::vector<HostEvent> out;
    for (const HostEvent& e : events.OfKind(TALVEX_EVENT_OUTCOME))
      if (e.data == r) out.push_back(e);
    return out;
  }

  host::Module& m = host::Module::Get();
  peers::IsmsDeviceSim device{"admin", "s3cret"};
  TempFolder folder{"multitech"};
  WorkingFolder cwd{folder.path()};
  HostEvents events;
  TalvexGenericOptions* options = nullptr;
  std::deque<OutgoingSms> outgoing;
};

}  // namespace talvenix::testing
