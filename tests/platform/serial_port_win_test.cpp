// SPDX-License-Identifier: Apache-2.0
// A COM port: exclusive, overlapped reads and writes, and a wait that another
// thread interrupts. The line test needs a modem (or a responder on a
// pseudo-terminal) on the port that TALVENIX_TEST_COM_PORT names; it answers
// "OK" to "AT".

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/serial_port.hpp"

namespace talvenix::platform {
namespace {

using namespace std::chrono_literals;

TEST(SerialPortOnWindows, AMissingPortIsToldApart) {
  SerialPort port;
  EXPECT_FALSE(port.Open("COM250", 115200));
  EXPECT_EQ(port.error(), SerialPort::Error::kMissing) << port.error_text();
  EXPECT_FALSE(port.is_open());
}

TEST(SerialPortOnWindows, TheLineAnswersAndAWaitCanBeInterrupted) {
  const char* name = std::getenv("TALVENIX_TEST_COM_PORT");
  if (!name) GTEST_SKIP() << "TALVENIX_TEST_COM_PORT names no port with a responder";
  SerialPort port;
  ASSERT_TRUE(port.Open(name, 115200)) << port.error_text();
  SerialPort second;
  EXPECT_FALSE(second.Open(name, 115200));
  EXPECT_EQ(second.error(), SerialPort::Error::kBusy) << second.error_text();

  Waker waker;
  ASSERT_TRUE(port.Write("AT\r", 1000));
  std::string answer;
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (answer.find("OK") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    if (port.Wait(waker, 500) != SerialPort::WaitResult::kReadable) continue;
    char buffer[64];
    long n = port.Read(buffer, sizeof buffer);
    ASSERT_GE(n, 0);
    answer.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_NE(answer.find("OK"), std::string::npos) << answer;

  std::thread other([&] {
    std::this_thread::sleep_for(50ms);
    waker.Wake();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.Wait(waker, 10000), SerialPort::WaitResult::kWoken);
  other.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // woken, not timed out
  waker.Wake();  // remembered until a wait sees it
  EXPECT_TRUE(waker.Wait(0));
  EXPECT_FALSE(waker.Wait(0));
}

}  // namespace
}  // namespace talvenix::platform
