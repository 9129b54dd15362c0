// SPDX-License-Identifier: Apache-2.0
// The GSM modem gateway when the system refuses to map its driver: the
// system's reason reaches the log (POSIX: the failure is injected into dlopen).

#include <cerrno>
#include <cstring>

#include "common/system_call_faults.hpp"
#include "gateways/modem/gsm_gateway_fixture.hpp"

namespace talvenix::testing {
namespace {

using sim::SimClient;

TEST_F(GsmGateway, ALibraryTheSystemCannotMapFailsTheStartWithTheSystemsReason) {
  FailNthCall<&platform::SystemCalls::dlopen> no_memory(1, ENOMEM);
  EXPECT_EQ(gateway->ServiceInit(&HostEvents::Callback, events.context(), &store), 0);
  EXPECT_TRUE(no_memory.fired());
  EXPECT_TRUE(log.Has(Severity::Error,
                      "GSMComDrv::init - failed to load GSM interface (erc: " + std::to_string(ENOMEM) + ")"));
  EXPECT_TRUE(
      log.Has(Severity::Error, "GSMComDrv::init - cannot load " + SimClient::Path() + ": " + std::strerror(ENOMEM)));
  EXPECT_FALSE(gateway->IsServiceInitialized());
}

}  // namespace
}  // namespace talvenix::testing
