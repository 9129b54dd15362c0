// SPDX-License-Identifier: Apache-2.0
// The catalog lists what exists; the factory builds it. They must agree, or a
// selectable service would fail to start (or a class would be unreachable).

#include "engine/service_factory.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/recording_logger.hpp"
#include "gateways/catalog/catalog.hpp"

namespace talvenix {
namespace {

TEST(ServiceFactory, BuildsExactlyTheGatewaysOfTheCatalog) {
  testing::RecordingLogger logger;
  for (const ServiceDescriptor* d : AvailableServices()) {
    SCOPED_TRACE(d->transport_id);
    std::unique_ptr<GenericGSMService> service(ConstructService(d->service_flag, &logger));
    if (!d->display_name) {
      EXPECT_EQ(service, nullptr);
      continue;
    }
    ASSERT_NE(service, nullptr);
    EXPECT_STREQ(service->GetServiceName(), d->display_name);
  }
  for (uint32_t flag : {5u, 6u, 9u, 0xFFFFFFFFu}) EXPECT_EQ(ConstructService(flag, &logger), nullptr) << flag;
}

}  // namespace
}  // namespace talvenix
