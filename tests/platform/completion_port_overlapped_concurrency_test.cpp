// SPDX-License-Identifier: Apache-2.0
// A handle opened for overlapped I/O, bound to the system's port: a read that
// finishes at once still completes once through the port, and Close takes a
// pending read back before the buffer goes.

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <future>
#include <random>
#include <string>

#include "platform/completion_port.hpp"

namespace talvenix::platform {
namespace {

constexpr uintptr_t kKey = 7;

class OverlappedPipe : public ::testing::Test {
 protected:
  void SetUp() override {
    std::wstring name = L"\\\\.\\pipe\\talvenix-test-" + std::to_wstring(std::random_device{}());
    reader_ = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(reader_, INVALID_HANDLE_VALUE);
    writer_ = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer_, INVALID_HANDLE_VALUE);
    port_ = CompletionPort::Create();
    ASSERT_TRUE(port_);
    ASSERT_FALSE(port_->Associate(reader_, kKey));
  }
  void TearDown() override {
    if (port_) port_->Close();
    CloseHandle(writer_);
    CloseHandle(reader_);
  }
  void Write(const std::string& text) {
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(writer_, text.data(), static_cast<DWORD>(text.size()), &done, nullptr));
  }
  // The next packet, or false after five seconds instead of a hang.
  bool Next(Packet& packet) {
    auto got = std::async(std::launch::async, [&] { return port_->Get(packet); });
    if (got.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return got.get();
    port_->Post(Packet{0, 0, nullptr, {}});
    got.get();
    return false;
  }

  HANDLE reader_ = INVALID_HANDLE_VALUE, writer_ = INVALID_HANDLE_VALUE;
  std::unique_ptr<CompletionPort> port_;
  char buffer_[16] = {};
  Overlapped overlapped_;
};

TEST_F(OverlappedPipe, EveryReadCompletesExactlyOnceThroughThePort) {
  Write("at once");
  Error started = port_->StartRead(reader_, buffer_, sizeof buffer_, &overlapped_);
  EXPECT_TRUE(!started || started == ErrorKind::kPending);
  Packet p;
  ASSERT_TRUE(Next(p));
  EXPECT_EQ(p.key, kKey);
  EXPECT_EQ(p.bytes, 7u);
  EXPECT_EQ(p.overlapped, &overlapped_);
  EXPECT_EQ(std::string(buffer_, 7), "at once");

  ASSERT_EQ(port_->StartRead(reader_, buffer_, sizeof buffer_, &overlapped_), ErrorKind::kPending);
  Write("later");
  ASSERT_TRUE(Next(p));
  EXPECT_EQ(p.key, kKey);
  EXPECT_EQ(p.bytes, 5u);
  ASSERT_FALSE(port_->Post(Packet{1, 0, nullptr, {}}));
  ASSERT_TRUE(Next(p));
  EXPECT_EQ(p.key, 1u);  // no second packet of the read that finished at once came between
}

TEST_F(OverlappedPipe, CloseTakesAPendingReadBackBeforeItReturns) {
  ASSERT_EQ(port_->StartRead(reader_, buffer_, sizeof buffer_, &overlapped_), ErrorKind::kPending);
  EXPECT_TRUE(port_->Close().empty());
  Write("too late");  // would land in the buffer if the read were still the system's
  Sleep(50);
  EXPECT_STREQ(buffer_, "");
}

}  // namespace
}  // namespace talvenix::platform
