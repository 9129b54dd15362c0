// SPDX-License-Identifier: Apache-2.0
// A tenant's throttle and daily cap on a clock the test sets: a list larger
// than the bucket goes once and leaves the bucket in debt, the day's count
// starts from what the queue accepted that day and starts again at UTC
// midnight, and what a failed accept took is given back.

#include <gtest/gtest.h>

#include <map>

#include "daemon/tenants.hpp"

namespace talvenix::daemon {
namespace {

constexpr int64_t kDay = 86400000;
constexpr int64_t kNoon = 20000 * kDay + kDay / 2;

TEST(TenantLimits, AThrottleRefillsAtItsRateAndALargeListGoesIntoDebt) {
  TenantLimits limits([](const std::string&, int64_t) { return int64_t{0}; });
  const Tenant slow{"slow", {}, 2, 0};
  EXPECT_FALSE(limits.Take(slow, 2, kNoon));  // a full bucket holds one second's messages
  auto refused = limits.Take(slow, 1, kNoon);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->reason, "throttle");
  EXPECT_EQ(refused->retry_after_s, 1);
  EXPECT_FALSE(limits.Take(slow, 1, kNoon + 500));  // half a second refills one
  // Ten at once wait for a full bucket, then leave it eight in debt: four seconds.
  EXPECT_TRUE(limits.Take(slow, 10, kNoon + 900));
  EXPECT_FALSE(limits.Take(slow, 10, kNoon + 1500));
  refused = limits.Take(slow, 1, kNoon + 1500);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->retry_after_s, 5);
  EXPECT_FALSE(limits.Take(slow, 1, kNoon + 6000));
}

TEST(TenantLimits, ADailyCapStartsFromTheQueuesCountAndAgainAtMidnight) {
  std::map<int64_t, int64_t> stored = {{20000, 7}};  // what the queue accepted per day
  int reads = 0;
  TenantLimits limits([&](const std::string& tenant, int64_t day) {
    EXPECT_EQ(tenant, "shop");
    ++reads;
    return stored[day];
  });
  const Tenant shop{"shop", {}, 0, 10};
  EXPECT_FALSE(limits.Take(shop, 3, kNoon));
  auto refused = limits.Take(shop, 1, kNoon + 1);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->reason, "daily_cap");
  EXPECT_EQ(refused->retry_after_s, kDay / 2 / 1000);  // until midnight, UTC
  limits.GiveBack(shop, 2, kNoon + 2);                 // a request the queue then refused
  EXPECT_EQ(limits.AcceptedToday(shop, kNoon + 3), 8);
  EXPECT_FALSE(limits.Take(shop, 2, kNoon + 4));
  EXPECT_EQ(reads, 1) << "the queue was read again within the day";
  EXPECT_FALSE(limits.Take(shop, 10, kNoon + kDay / 2));  // the next day
  EXPECT_EQ(limits.AcceptedToday(shop, kNoon + kDay / 2), 10);
}

}  // namespace
}  // namespace talvenix::daemon
