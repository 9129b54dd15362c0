// SPDX-License-Identifier: Apache-2.0
#include "engine/test_channel/test_message_channel.hpp"

#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "engine/test_channel/mail_slot_client.hpp"
#include "engine/test_channel/mail_slot_server.hpp"
#include "engine/test_channel/test_message_file.hpp"
#include "platform/module_lifetime.hpp"
#include "platform/timer_queue.hpp"
#include "support/overrides.hpp"
#include "talvenix/talvenix.h"

namespace talvenix {
namespace {

// The module-wide server. Made on first use, so it is destroyed (and a
// running server stopped) before the module's logger at unload.
class Channel {
 public:
  // The timer queue is made first so that it is destroyed last: stopping a
  // server still uses it.
  Channel() { platform::TimerQueue::Default(); }
  ~Channel() { Stop(); }

  // Names the server being started: its callback may run (and stop it) as soon
  // as it listens, before it is published.
  void Starting(const MailSlotReader_Server* server) {
    std::lock_guard lock(mutex_);
    starting_ = server;
    starting_stopped_ = false;
  }

  // Returns the published server, valid until the next Stop; null when its own
  // callback stopped it while it was starting (it is then gone).
  MailSlotReader_Server* Publish(std::unique_ptr<MailSlotReader_Server> server) {
    {
      std::lock_guard lock(mutex_);
      starting_ = nullptr;
      if (!starting_stopped_) {
        server_ = std::move(server);
        return server_.get();
      }
    }
    server.reset();  // outside the lock: this waits for its callback, which may be stopping
    return nullptr;
  }

  bool Runs() {
    std::lock_guard lock(mutex_);
    return server_ || starting_ || retiring_.joinable();
  }

  // Stops the published server; with `only`, only if that one is still
  // published (a callback may have stopped it, or started another, meanwhile).
  void Stop(const MailSlotReader_Server* only = nullptr) {
    MailSlotReader_Server* calling = MailSlotReader_Server::Calling();
    std::unique_ptr<MailSlotReader_Server> server;
    {
      std::lock_guard lock(mutex_);
      if (only && server_.get() != only) return;
      server = std::move(server_);
      if (calling && calling == starting_) {
        calling->StopReading();
        starting_stopped_ = true;
      }
    }
    if (server && server.get() == calling) {
      // Stopped from inside its own callback: the worker cannot wait for
      // itself, so another thread stops it once the callback has returned.
      server->StopReading();
      std::lock_guard lock(mutex_);
      JoinRetiring();
      retiring_for_ = std::this_thread::get_id();
      retiring_ = std::thread([s = std::move(server)]() mutable { s.reset(); });
      return;
    }
    if (server) server->Uninitialize();
    // A server retired earlier must be gone too before the name is used again,
    // unless this is its own worker, which that retirement is waiting for.
    std::lock_guard lock(mutex_);
    if (retiring_for_ != std::this_thread::get_id()) JoinRetiring();
  }

 private:
  void JoinRetiring() {
    if (retiring_.joinable()) retiring_.join();
    retiring_for_ = {};
  }

  std::mutex mutex_;
  std::unique_ptr<MailSlotReader_Server> server_;
  std::thread retiring_;
  std::thread::id retiring_for_;                     // the worker whose callback asked for it
  const MailSlotReader_Server* starting_ = nullptr;  // compared only, never used
  bool starting_stopped_ = false;
};

// Its server's threads are gone when the process is ending.
Channel& TheChannel() {
  static platform::KeptAtProcessEnd<Channel> channel;
  return channel.get();
}

int32_t StartTest(ILogInterface* logger, const TalvexTestRequest* request) {
  TheChannel().Stop();
  if (!request) {
    logger->Error("ExecuteCommand::TALVEX_CMD_SENDTESTSMS - Failed, Invalid Parameter(s).");
    return TALVEX_INVALID_PARAMETER;
  }
  std::unique_ptr<MailSlotReader_Server> server(new (std::nothrow) MailSlotReader_Server(
      TestTimeoutMs(kTestTimeLimitMs), kTestMailslotName, request->callback, request->context));
  if (!server) {
    logger->Error("ExecuteCommand::TALVEX_CMD_SENDTESTSMS - Failed, Bad Alloc.");
    return TALVEX_FAILED;
  }
  TheChannel().Starting(server.get());
  if (int32_t code = server->Initialize(logger)) {
    TheChannel().Starting(nullptr);
    logger->Error("ExecuteCommand::TALVEX_CMD_SENDTESTSMS - Failed, to intialize mail slot server.");
    return code;
  }
  // A stop asked by its callback before this point has already ended it; the
  // job is still written, as when the stop comes a moment later.
  MailSlotReader_Server* published = TheChannel().Publish(std::move(server));
  if (int32_t code = WriteTestMessageFile(logger, TestMessageFolder(logger), *request)) {
    logger->Error("ExecuteCommand::TALVEX_CMD_SENDTESTSMS - Failed, to Create Fake SQV file.");
    if (published) TheChannel().Stop(published);
    return code;
  }
  logger->Error("ExecuteCommand::TALVEX_CMD_SENDTESTSMS - Successfully Created Mail Slot Server.");
  return TALVEX_OK;
}

int32_t SendLine(ILogInterface* logger, const char* text) {
  if (!text) {
    logger->Error("ExecuteCommand::TALVEX_CMD_SENDTESTSENDDATA - Invalid Parameter(s).");
    return TALVEX_INVALID_PARAMETER;
  }
  MailSlotWriter_Client client;
  if (int32_t code = client.Initialize(logger)) {
    logger->Error("ExecuteCommand::TALVEX_CMD_SENDTESTSENDDATA - Failed to connect with mail slot.");
    return code;
  }
  int32_t code = client.SendMessage(text);
  if (code) logger->Error("ExecuteCommand::TALVEX_CMD_SENDTESTSENDDAT - Failed to send data though mail slot.");
  client.Close();
  return code;
}

}  // namespace

bool TestChannelRuns() { return TheChannel().Runs(); }
bool InsideTestCallback() { return MailSlotReader_Server::Calling() != nullptr; }

int32_t ExecuteTestCommand(ILogInterface* logger, uint32_t command, void* data) {
  switch (command) {
    case TALVEX_CMD_SENDTESTSMS:
      return StartTest(logger, static_cast<const TalvexTestRequest*>(data));
    case TALVEX_CMD_STOPTEST:
      TheChannel().Stop();
      return TALVEX_FAILED;  // the documented result of a stop, whether or not one was running
    case TALVEX_CMD_SENDTESTSENDDATA:
      return SendLine(logger, static_cast<const char*>(data));
    default:
      logger->Error("ExecuteCommand::TALVEX_CMD_SENDTESTSMS - Failed, Invalid command.");
      return TALVEX_INVALID_PARAMETER;
  }
}

}  // namespace talvenix
