// SPDX-License-Identifier: Apache-2.0
#include "engine/test_channel/mail_slot_client.hpp"

#include <cstring>

#include "support/text_codec.hpp"
#include "talvenix/talvenix.h"

namespace talvenix {

MailSlotWriter_Client::MailSlotWriter_Client(const char16_t* name)
    : name_(name ? std::u16string(name, Utf16Length(name, kMailslotNameChars - 1)) : std::u16string()) {}

int32_t MailSlotWriter_Client::Initialize(ILogInterface* logger) {
  if (!logger) return TALVEX_INVALID_PARAMETER;
  if (initialised_) {
    logger->Error("MailSlotWriter_Client::Initialize - Initialize, Aready Called.");
    return TALVEX_ALREADY_INITIALISED;
  }
  logger_ = logger;
  if (platform::Error error = mailslot_.Open(Utf16ToUtf8(name_))) {
    logger_->Info("MailSlotWriter_Client::Initialize - - Failed to connect wtih mail slot [erc: %d]",
                  error.system_code());
    return TALVEX_FAILED;
  }
  initialised_ = true;
  return TALVEX_OK;
}

void MailSlotWriter_Client::Close() {
  if (!initialised_) return;
  initialised_ = false;
  mailslot_.Close();
}

int32_t MailSlotWriter_Client::SendMessage(const char* text) {
  if (!initialised_ || !mailslot_.IsOpen()) return TALVEX_NOT_INITIALISED;
  if (!text) return TALVEX_INVALID_PARAMETER;
  if (platform::Error error = mailslot_.Write(text, std::strlen(text) + 1)) {
    logger_->Error("MailSlotWriter_Client::SendMessage - Failed to Issue Write IO, [erc: %d]", error.system_code());
    return TALVEX_FAILED;
  }
  return TALVEX_OK;
}

}  // namespace talvenix
