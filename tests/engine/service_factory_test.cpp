// The catalog lists what exists; the factory builds it. They must agree, or a
// selectable service would fail to start (or a class would be unreachable);
// only the gateways this build leaves out (TALVENIX_SERVICES_NOT_BUILT, from
// tests/CMakeLists.txt) may have no class.

#include "engine/service_factory.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "common/recording_logger.hpp"
#include "gateways/catalog/catalog.hpp"

namespace talvenix {
namespace {

TEST(ServiceFactory, BuildsExactlyTheGatewaysOfTheCatalog) {
  testing::RecordingLogger logger;
  const std::vector<uint32_t> not_built{TALVENIX_SERVICES_NOT_BUILT};
  for (const ServiceDescriptor* d : AvailableServices()) {
    SCOPED_TRACE(d->transport_id);
    std::unique_ptr<GenericGSMService> service(ConstructService(d->service_flag, &logger));
    if (!d->display_name || std::ranges::count(not_built, d->service_flag)) {
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
