// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/completion_port.hpp"

namespace talvenix::platform {
namespace {

TEST(CompletionPort, PacketsComeOutInOrderAndCloseReturnsTheRest) {
  auto port = CompletionPort::Create();
  ASSERT_TRUE(port);
  for (uintptr_t key = 1; key <= 3; ++key)
    ASSERT_EQ(port->Post(Packet{key, static_cast<uint32_t>(key * 10), nullptr, {}}).system_code(), 0);
  Packet p;
  ASSERT_TRUE(port->Get(p));
  EXPECT_EQ(p.key, 1u);
  EXPECT_EQ(p.bytes, 10u);
  auto left = port->Close();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].key, 2u);
  EXPECT_EQ(left[1].key, 3u);
  EXPECT_EQ(port->Post(Packet{8, 0, nullptr, {}}).kind(), ErrorKind::kShutDown);
  EXPECT_FALSE(port->Get(p));
  EXPECT_TRUE(port->Close().empty());
}

TEST(CompletionPort, CloseWakesEveryWaiter) {
  auto port = CompletionPort::Create();
  std::atomic<int> woken{0};
  std::thread a([&] {
    Packet q;
    if (!port->Get(q)) ++woken;
  });
  std::thread b([&] {
    Packet q;
    if (!port->Get(q)) ++woken;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  port->Close();
  a.join();
  b.join();
  EXPECT_EQ(woken, 2);
}

}  // namespace
}  // namespace talvenix::platform
