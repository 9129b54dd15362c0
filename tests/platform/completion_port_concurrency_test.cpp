#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

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
  EXPECT_EQ(port->Post(Packet{8, 0, nullptr, {}}).system_code(), ESHUTDOWN);
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

TEST(CompletionPort, ADatagramLongerThanTheBufferIsCutAndMarked) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
  auto port = CompletionPort::Create();
  ASSERT_EQ(port->Associate(fds[0], 42).system_code(), 0);
  EXPECT_EQ(port->Associate(fds[0], 43).system_code(), EEXIST);
  char buffer[8];
  Overlapped overlapped;
  ASSERT_EQ(port->StartRead(fds[0], buffer, sizeof buffer, &overlapped).kind(), ErrorKind::kPending);
  std::string big(20, 'z');
  ASSERT_EQ(send(fds[1], big.data(), big.size(), 0), 20);
  Packet p;
  ASSERT_TRUE(port->Get(p));
  EXPECT_EQ(p.key, 42u);
  EXPECT_EQ(p.bytes, 8u);
  EXPECT_TRUE(overlapped.truncated);

  ASSERT_EQ(send(fds[1], "", 0, 0), 0);  // an empty datagram is a message too
  ASSERT_EQ(port->StartRead(fds[0], buffer, sizeof buffer, &overlapped).system_code(), 0);
  ASSERT_TRUE(port->Get(p));
  EXPECT_EQ(p.bytes, 0u);
  EXPECT_FALSE(overlapped.truncated);

  EXPECT_EQ(port->StartRead(99999, buffer, sizeof buffer, &overlapped).system_code(), EBADF);  // not associated
  ASSERT_EQ(port->StartRead(fds[0], buffer, sizeof buffer, &overlapped).kind(), ErrorKind::kPending);
  port->Close();  // drops the pending read
  EXPECT_EQ(port->StartRead(fds[0], buffer, sizeof buffer, &overlapped).system_code(), ESHUTDOWN);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace talvenix::platform
