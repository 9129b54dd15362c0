// SPDX-License-Identifier: Apache-2.0
// A mailslot read through the completion port, as the test channel reads it:
// the same behaviour from the system's mailslots and from the POSIX stand-in.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <random>
#include <string>

#include "platform/completion_port.hpp"
#include "platform/mailslot.hpp"

namespace talvenix::platform {
namespace {

constexpr uintptr_t kKey = 42, kGaveUp = 99;

std::string UniqueName() {
  return "\\\\.\\mailslot\\talvenix-test\\port-" + std::to_string(std::random_device{}());
}

// The next packet, or false after five seconds instead of a hang.
bool NextPacket(CompletionPort& port, Packet& packet) {
  auto got = std::async(std::launch::async, [&] { return port.Get(packet); });
  if (got.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return got.get();
  port.Post(Packet{kGaveUp, 0, nullptr, {}});
  got.get();
  return false;
}

class PortMailslot : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(reader_.Create(name_));
    ASSERT_FALSE(writer_.Open(name_));
    port_ = CompletionPort::Create();
    ASSERT_TRUE(port_);
    Error associated = port_->Associate(reader_.fd(), kKey);
    ASSERT_FALSE(associated) << associated.system_code() << " " << associated.Describe();
  }
  // Starts a read and takes its packet; the read may finish at once or later.
  Packet Read(Error* started = nullptr) {
    Error error = port_->StartRead(reader_.fd(), buffer_, sizeof buffer_, &overlapped_);
    if (started) *started = error;
    EXPECT_TRUE(!error || error == ErrorKind::kPending) << error.Describe();
    Packet packet;
    EXPECT_TRUE(NextPacket(*port_, packet));
    return packet;
  }

  std::string name_ = UniqueName();
  MailslotReader reader_;
  MailslotWriter writer_;
  std::unique_ptr<CompletionPort> port_;
  char buffer_[8] = {};
  Overlapped overlapped_;
};

TEST_F(PortMailslot, MessagesCompleteWithTheirKeyWhetherWaitingOrAlreadyThere) {
  EXPECT_EQ(port_->Associate(reader_.fd(), kKey + 1), ErrorKind::kExists);

  ASSERT_FALSE(writer_.Write("queued", 7));  // there before the read starts
  Packet p = Read();
  EXPECT_EQ(p.key, kKey);
  EXPECT_EQ(p.bytes, 7u);
  EXPECT_FALSE(p.error);
  EXPECT_STREQ(buffer_, "queued");
  EXPECT_EQ(p.overlapped, &overlapped_);

  Error started;
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    writer_.Write("", 0);  // an empty message is a message too
  });
  p = Read(&started);
  late.join();
  EXPECT_EQ(started, ErrorKind::kPending);
  EXPECT_EQ(p.key, kKey);
  EXPECT_FALSE(p.error) << p.error.system_code();
  EXPECT_EQ(p.bytes, 0u);
  EXPECT_FALSE(overlapped_.truncated);
}

// A message longer than the buffer is cut to it and marked, and it is gone
// afterwards: the next read gets the next message, never the same one again.
TEST_F(PortMailslot, ALongMessageIsCutMarkedAndConsumed) {
  ASSERT_FALSE(writer_.Write("0123456789abcdef", 16));
  ASSERT_FALSE(writer_.Write("next", 5));
  Packet p = Read();
  EXPECT_FALSE(p.error);
  EXPECT_EQ(p.bytes, sizeof buffer_);
  EXPECT_TRUE(overlapped_.truncated);
  EXPECT_EQ(std::string(buffer_, sizeof buffer_), "01234567");
  p = Read();
  EXPECT_EQ(p.bytes, 5u);
  EXPECT_STREQ(buffer_, "next");
  EXPECT_FALSE(overlapped_.truncated);

  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    writer_.Write("a long one, later", 18);
  });
  p = Read();
  late.join();
  EXPECT_FALSE(p.error) << p.error.Describe();
  EXPECT_EQ(p.bytes, sizeof buffer_);
  EXPECT_TRUE(overlapped_.truncated);
}

TEST_F(PortMailslot, ClosingDropsAPendingReadAndRefusesNewWork) {
  EXPECT_EQ(port_->StartRead(kInvalidHandle, buffer_, sizeof buffer_, &overlapped_),
            ErrorKind::kInvalidArgument);  // no handle associated
  ASSERT_EQ(port_->StartRead(reader_.fd(), buffer_, sizeof buffer_, &overlapped_), ErrorKind::kPending);
  EXPECT_EQ(port_->StartRead(reader_.fd(), buffer_, sizeof buffer_, &overlapped_), ErrorKind::kBusy);
  ASSERT_FALSE(port_->Post(Packet{7, 1, nullptr, {}}));
  std::vector<Packet> left = port_->Close();
  ASSERT_EQ(left.size(), 1u);  // the posted packet, not the dropped read
  EXPECT_EQ(left[0].key, 7u);
  // The dropped read no longer owns the buffer: a message now stays in the mailslot.
  ASSERT_FALSE(writer_.Write("after", 6));
  EXPECT_STREQ(buffer_, "");
  EXPECT_EQ(port_->StartRead(reader_.fd(), buffer_, sizeof buffer_, &overlapped_), ErrorKind::kShutDown);
  EXPECT_EQ(port_->Post(Packet{8, 0, nullptr, {}}), ErrorKind::kShutDown);
}

}  // namespace
}  // namespace talvenix::platform
