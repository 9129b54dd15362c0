// SPDX-License-Identifier: Apache-2.0
// Reads of a plain datagram socket through the port (POSIX descriptors only).

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "platform/completion_port.hpp"

namespace talvenix::platform {
namespace {

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
