// SPDX-License-Identifier: Apache-2.0
// The third-party runtimes inside the Windows module read and write dates
// past January 2038: they are built with a 64-bit time_t, as this file is,
// so a date that does not fit 32 bits goes through their conversions whole.

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <stdsoap2.h>

#include <ctime>
#include <string>

namespace {

constexpr time_t kLeapDay2040 = 2214129600;  // 2040-02-29 12:00:00 UTC
static_assert(sizeof(time_t) == 8, "this file must see the runtimes' time_t");

TEST(RuntimeDates, SoapAndCurlConvertDatesPast2038) {
  soap* context = soap_new();
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(std::string(soap_dateTime2s(context, kLeapDay2040)), "2040-02-29T12:00:00Z");
  time_t read = 0;
  EXPECT_EQ(soap_s2dateTime(context, "2040-02-29T14:00:00+02:00", &read), SOAP_OK);
  EXPECT_EQ(read, kLeapDay2040);
  soap_free(context);

  EXPECT_EQ(curl_getdate("Wed, 29 Feb 2040 12:00:00 GMT", nullptr), kLeapDay2040);
}

}  // namespace
