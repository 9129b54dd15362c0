// SPDX-License-Identifier: Apache-2.0
#pragma once
// A MessageMedia gateway over a real configuration document whose service
// element points at a test peer; replies reach a recording host callback.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/recording_logger.hpp"
#include "common/temp_folder.hpp"
#include "config/xml_loader.hpp"
#include "gateways/messagemedia/message_media_service.hpp"
#include "soap_peer.hpp"
#include "support/text_codec.hpp"

namespace talvenix::testing {

struct HostInbox {
  std::mutex mutex;
  std::vector<std::pair<std::string, std::u16string>> messages;  // originator, text
  SoapPeer* peer = nullptr;                                      // gets "callback:<n>" events
};

inline int32_t TALVEX_CALL InboxCallback(int32_t, int32_t, uint32_t kind, uintptr_t context, void* data,
                                         uint32_t data_kind) {
  auto* inbox = reinterpret_cast<HostInbox*>(context);
  auto* record = static_cast<TalvexReceivedMessage*>(data);
  if (kind != TALVEX_EVENT_RECEIVED || data_kind != TALVEX_DATA_SMS || record->service_flag != 7) return 0;
  std::lock_guard lock(inbox->mutex);
  inbox->messages.emplace_back(record->originator.text, record->text.text);
  if (inbox->peer) inbox->peer->AddEvent("callback:" + std::to_string(inbox->messages.size()));
  return 0;
}

inline std::string MessageMediaDocument(const std::string& endpoint, const std::string& interval = "1") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vantrelcomms><sms><config>"
         "<option name=\"enableengine\" value=\"yes\"/><option name=\"selectedservice\" value=\"MM\"/>"
         "</config><services><service name=\"MM\" transport=\"messagemediaservice\" signupurl=\"https://sign.up/\"" +
         (endpoint.empty() ? std::string() : " endpoint=\"" + endpoint + "\"") +
         "><properties>"
         "<property id=\"[username]\" name=\"User ID\" value=\"user-\xC3\xBC\">"
         "<description><eng>User id</eng></description></property>"
         "<property id=\"[password]\" name=\"Password\" value=\"Pa55-w0rd-secret\">"
         "<description><eng>Account password</eng></description></property>"
         "<property id=\"[receivepollinterval]\" name=\"Poll Interval\" value=\"" +
         interval +
         "\"><description><eng>Minutes</eng></description></property></properties></service></services></sms></"
         "vantrelcomms>\n";
}

class MessageMediaFixture : public ::testing::Test {
 protected:
  // poll_ms replaces the poll interval for this test.
  void Start(const std::string& endpoint, uint32_t poll_ms = 60000, bool init = true) {
    setenv("TALVENIX_POLL_INTERVAL_MS", std::to_string(poll_ms).c_str(), 1);
    folder_.Write("qvsmscomms.xml", MessageMediaDocument(endpoint));
    loader_ = std::make_unique<XMLLoader>(&log_, (folder_.path() / "qvsmscomms.xml").string().c_str(), "sms");
    ASSERT_EQ(loader_->ReloadConfiguration(), 1);
    gateway_ = std::make_unique<MessageMediaService>(&log_);
    gateway_->client()->SetLimits({2000, 1500});
    ASSERT_EQ(gateway_->LoadServiceSpecficConfigurations(&options_, loader_.get()), 1);
    if (init) {
      ASSERT_EQ(gateway_->ServiceInit(InboxCallback, reinterpret_cast<uintptr_t>(&inbox_), loader_.get()), 1);
    }
  }
  void TearDown() override {
    if (gateway_) gateway_->ServiceUninit();
    gateway_.reset();
    unsetenv("TALVENIX_POLL_INTERVAL_MS");
    unsetenv("TALVENIX_CA_FILE");
  }

  int32_t Send(const std::u16string& text, const char* to = "+61400000001") {
    TalvexSmsRequest request{};
    request.recipient = to;
    request.part = text.c_str();
    return gateway_->ServiceSendSMS(1, 0, &request);
  }

  template <typename Pred>
  static bool WaitFor(Pred pred, int ms = 5000) {
    for (int waited = 0; waited < ms; waited += 10) {
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
  }

  bool LogContains(const std::string& part) {
    for (const LoggedLine& l : log_.lines())
      if (l.text.find(part) != std::string::npos) return true;
    return false;
  }

  RecordingLogger log_;
  TempFolder folder_{"messagemedia"};
  TalvexGenericOptions options_{};
  std::unique_ptr<XMLLoader> loader_;
  std::unique_ptr<MessageMediaService> gateway_;
  HostInbox inbox_;
};

}  // namespace talvenix::testing
