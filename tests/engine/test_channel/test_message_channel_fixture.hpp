// SPDX-License-Identifier: Apache-2.0
#pragma once
// A private world for test-channel tests: host settings of its own naming an
// outgoing folder in a fresh temporary folder (channel_host.hpp says what
// differs per platform), and a recorder of the channel's events.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channel_host.hpp"
#include "common/recording_logger.hpp"
#include "common/temp_folder.hpp"
#include "engine/test_channel/test_message_channel.hpp"
#include "platform/file.hpp"
#include "talvenix/talvenix.h"

namespace talvenix::testing {

struct ChannelEvent {
  uint32_t event;
  std::string text;  // event 1
  int32_t code;      // event 0
  bool operator==(const ChannelEvent&) const = default;
};

inline ChannelEvent Message(std::string text) { return {TALVEX_TEST_EVENT_MESSAGE, std::move(text), 0}; }
inline ChannelEvent Status(int32_t code) { return {TALVEX_TEST_EVENT_STATUS, "", code}; }

inline void PrintTo(const ChannelEvent& e, std::ostream* os) {
  if (e.event == TALVEX_TEST_EVENT_MESSAGE)
    *os << "message \"" << e.text.substr(0, 40) << "\"";
  else
    *os << "status " << e.code;
}

inline std::vector<std::string> Texts(const std::vector<ChannelEvent>& events) {
  std::vector<std::string> texts;
  for (const auto& e : events) texts.push_back(e.text);
  return texts;
}

class EventRecorder {
 public:
  static void Callback(uint32_t event, void* data, uintptr_t context, uint32_t) {
    reinterpret_cast<EventRecorder*>(context)->Add(event, data);
  }
  uintptr_t context() { return reinterpret_cast<uintptr_t>(this); }

  // Waits until `count` events have arrived; returns all of them.
  std::vector<ChannelEvent> WaitFor(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, limit, [&] { return events_.size() >= count; });
    return events_;
  }
  std::vector<ChannelEvent> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  void Add(uint32_t event, void* data) {
    ChannelEvent e{event, "", 0};
    if (event == TALVEX_TEST_EVENT_MESSAGE)
      e.text = static_cast<const char*>(data);
    else
      e.code = *static_cast<const int32_t*>(data);
    {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(e));
    }
    cv_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<ChannelEvent> events_;
};

class ChannelFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(Outgoing());
    host_.SetOutgoingFolder((temp_.path() / "out").string());
    SetTimeLimit(60000);
  }
  void TearDown() override { unsetenv("TALVENIX_TEST_TIMEOUT_MS"); }
  void SetTimeLimit(int ms) { setenv("TALVENIX_TEST_TIMEOUT_MS", std::to_string(ms).c_str(), 1); }
  std::filesystem::path Outgoing() const { return temp_.path() / "out" / "sms"; }
  // As the channel names it: with the system's separator at the end.
  std::string OutgoingFolder() const { return Outgoing().string() + platform::kFolderSeparator; }
  std::vector<std::string> OutgoingFiles() const {
    std::vector<std::string> names;
    if (std::filesystem::is_directory(Outgoing()))
      for (const auto& entry : std::filesystem::directory_iterator(Outgoing()))
        names.push_back(entry.path().filename().string());
    return names;
  }
  TalvexTestRequest Request(const char* recipient = "+15550100", const char16_t* body = u"Test \u00e9") {
    TalvexTestRequest r{};
    std::snprintf(r.recipient, sizeof r.recipient, "%s", recipient);
    std::char_traits<char16_t>::copy(r.body, body, std::char_traits<char16_t>::length(body));
    std::char_traits<char16_t>::copy(r.subject, u"Subject", 7);
    r.line = 2;
    r.callback = EventRecorder::Callback;
    r.context = recorder_.context();
    return r;
  }

  TempFolder temp_{"channel"};
  ChannelHost host_{temp_.path()};
  EventRecorder recorder_;
};

// The channel itself, with a logger that keeps every line.
class Channel : public ChannelFixture {
 public:
  int32_t Run(uint32_t command, void* data) { return ExecuteTestCommand(&log_, command, data); }

 protected:
  void TearDown() override {
    Run(TALVEX_CMD_STOPTEST, nullptr);
    ChannelFixture::TearDown();
  }
  int32_t Send(const char* text) { return Run(TALVEX_CMD_SENDTESTSENDDATA, const_cast<char*>(text)); }
  // Sends `text` every `pause` until the answer is `wanted`, at most 500
  // times; the last answer.
  int32_t SendUntil(const char* text, int32_t wanted, std::chrono::milliseconds pause = std::chrono::milliseconds(10)) {
    int32_t answer = Send(text);
    for (int i = 1; i < 500 && answer != wanted; ++i) {
      std::this_thread::sleep_for(pause);
      answer = Send(text);
    }
    return answer;
  }
  // A callback that stops the channel from inside the line it hears: the
  // stop's result and how often it was called.
  struct StopFromCallback {
    Channel* test;
    std::atomic<int> result{0}, calls{0};
    static void Callback(uint32_t, void*, uintptr_t context, uint32_t) {
      auto* self = reinterpret_cast<StopFromCallback*>(context);
      ++self->calls;
      self->result = self->test->Run(TALVEX_CMD_STOPTEST, nullptr);
    }
    void Arm(TalvexTestRequest& request) {
      request.callback = Callback;
      request.context = reinterpret_cast<uintptr_t>(this);
    }
  };
  RecordingLogger log_;
};

}  // namespace talvenix::testing
