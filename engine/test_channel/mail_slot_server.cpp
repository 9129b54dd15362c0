// SPDX-License-Identifier: Apache-2.0
#include "engine/test_channel/mail_slot_server.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "support/text_codec.hpp"

namespace talvenix {
namespace {

// The callback receives their addresses, so they live for the whole run.
const int32_t kTimeoutCode = TALVEX_TEST_TIMEOUT;
const int32_t kReadFailedCode = TALVEX_TEST_READ_FAILED;

thread_local MailSlotReader_Server* t_calling = nullptr;

}  // namespace

MailSlotReader_Server::MailSlotReader_Server(uint32_t time_limit_ms, const char16_t* name, TalvexTestCallback callback,
                                             uintptr_t context)
    : time_limit_ms_(time_limit_ms), callback_(callback), context_(context) {
  if (name) CopyBounded(name_, kMailslotNameChars, std::u16string_view(name, Utf16Length(name, kMailslotNameChars)));
  read_item_.callback = &MailSlotReader_Server::ReadComplete;
  read_item_.kind = kWorkItemRun;
  read_item_.context = this;
  read_item_.delete_after_run = 0;
}

MailSlotReader_Server::~MailSlotReader_Server() {
  Uninitialize();
  ReleaseAll();  // also what a failed Initialize may have left
}

std::unique_ptr<CAThreadPool> MailSlotReader_Server::CreateThreadPool() {
  return std::unique_ptr<CAThreadPool>(new (std::nothrow) CAThreadPool);
}

std::unique_ptr<TimerCallback> MailSlotReader_Server::CreateTimer(CAThreadPool* pool) {
  return std::unique_ptr<TimerCallback>(new (std::nothrow) TimerCallback(pool));
}

int32_t MailSlotReader_Server::Initialize(ILogInterface* logger) {
  if (!logger || !callback_) return TALVEX_INVALID_PARAMETER;
  if (initialised_) {
    logger->Error("MailSlotReader_Server::Initialize - Initialize, Aready Called.");
    return TALVEX_ALREADY_INITIALISED;
  }
  logger_ = logger;
  stopping_ = false;
  int32_t result = TALVEX_FAILED;
  do {
    pool_ = CreateThreadPool();
    if (!pool_) {
      logger_->Error("MailSlotReader_Server::Initialize - Failed to create thread pool.");
      break;
    }
    if (pool_->Initialize(1)) {
      logger_->Error("MailSlotReader_Server::Initialize - Failed to intialize thread pool.");
      break;
    }
    if (time_limit_ms_ >= 1) {
      timer_ = CreateTimer(pool_.get());
      if (!timer_) {
        logger_->Error("MailSlotReader_Server::Initialize - Failed to create timer object.");
        break;
      }
    }
    if (platform::Error error = mailslot_.Create(Utf16ToUtf8(name_))) {
      logger_->Info("MailSlotReader_Server::Initialize - Failed to create mail slot [erc: %d]", error.system_code());
      break;
    }
    result = ListenOnMailSlot();
    if (result == TALVEX_OK) {
      initialised_ = true;
      return TALVEX_OK;
    }
    logger_->Error("CSendTestMessage::SendTSMS - Failed to set up overlapped IO");
  } while (false);
  initialised_ = false;
  ReleaseAll();
  return result;
}

void MailSlotReader_Server::Uninitialize() {
  if (!initialised_.exchange(false)) return;
  ReleaseAll();
}

void MailSlotReader_Server::ReleaseAll() {
  stopping_ = true;  // a completion that still runs starts no new read
  if (timer_) timer_->Cancel();
  // The pool goes down before the timer object: an expiry it already queued
  // refers to the timer.
  if (pool_) pool_->Shutdown();
  timer_.reset();
  pool_.reset();
  mailslot_.Close();
}

int32_t MailSlotReader_Server::ListenOnMailSlot() {
  if (!mailslot_.IsOpen()) return TALVEX_NOT_INITIALISED;
  if (platform::Error error = pool_->AssociateHandle(mailslot_.fd(), &read_item_)) {
    logger_->Error("MailSlotReader_Server::ListenOnMailSlot - Failed to associate handle, [erc: %d]",
                   error.system_code());
    return TALVEX_FAILED;
  }
  if (!IssueReadIO()) {
    logger_->Error("MailSlotReader_Server::ListenOnMailSlot - Failed issue read io on mail slot [erc: %d]",
                   last_error_.system_code());
    return TALVEX_FAILED;
  }
  return TALVEX_OK;
}

int MailSlotReader_Server::IssueReadIO() {
  if (!mailslot_.IsOpen()) return 0;
  std::memset(buffer_, 0, sizeof buffer_);
  overlapped_ = platform::Overlapped{};
  if (timer_ &&
      !timer_->Start(&MailSlotReader_Server::TimedOut, time_limit_ms_, reinterpret_cast<uintptr_t>(this), 0, 0)) {
    logger_->Error(" MailSlotReader_Server::IssueReadIO - Failed to initialize timeout timer.");
    return 0;
  }
  platform::Error error = pool_->StartRead(mailslot_.fd(), buffer_, kMaxMessageBytes, &overlapped_);
  if (!error || error == platform::ErrorKind::kPending) return 1;
  last_error_ = error;
  if (timer_) timer_->Cancel();
  return 0;
}

MailSlotReader_Server* MailSlotReader_Server::Calling() { return t_calling; }

void MailSlotReader_Server::Notify(uint32_t event, void* data) {
  std::lock_guard lock(callback_mutex_);
  MailSlotReader_Server* outer = std::exchange(t_calling, this);
  callback_(event, data, context_, 0);
  t_calling = outer;
}

uint32_t MailSlotReader_Server::ReadComplete(void* context, uint32_t*, platform::Overlapped* overlapped, uint32_t bytes,
                                             platform::Error error) {
  auto* self = static_cast<MailSlotReader_Server*>(context);
  if (self->timer_) self->timer_->Cancel();
  if (error) {
    // A failed read carries no message: nothing to hand on.
    self->logger_->Warn("MailSlotReader_Server::ReadComplete - Read failed [erc: %d]", error.system_code());
  } else {
    if (overlapped && overlapped->truncated)
      self->logger_->Warn("MailSlotReader_Server::ReadComplete - Message longer than %u bytes, the rest was dropped.",
                          kMaxMessageBytes);
    self->buffer_[std::min(bytes, kMaxMessageBytes)] = '\0';
    self->Notify(TALVEX_TEST_EVENT_MESSAGE, self->buffer_);
  }
  if (self->stopping_) return 0;
  if (!self->IssueReadIO()) self->Notify(TALVEX_TEST_EVENT_STATUS, const_cast<int32_t*>(&kReadFailedCode));
  return 0;
}

void MailSlotReader_Server::TimedOut(uintptr_t server, uintptr_t, uint32_t, uintptr_t, uint32_t) {
  auto* self = reinterpret_cast<MailSlotReader_Server*>(server);
  if (self->stopping_) return;
  self->logger_->Error("CBTimeOut - Timeout Triggered, No Messages received.");
  // The read stays pending: a message that comes later is still delivered.
  self->Notify(TALVEX_TEST_EVENT_STATUS, const_cast<int32_t*>(&kTimeoutCode));
}

}  // namespace talvenix
