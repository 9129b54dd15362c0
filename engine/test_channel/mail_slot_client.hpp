// SPDX-License-Identifier: Apache-2.0
#pragma once
// MailSlotWriter_Client: opens the test-message mailslot and writes one text
// message into it. Lives for one command; one thread.

#include "engine/test_channel/mail_slot.hpp"
#include "platform/mailslot.hpp"

namespace talvenix {

class MailSlotWriter_Client : public IMailSlot {
 public:
  explicit MailSlotWriter_Client(const char16_t* name = kTestMailslotName);
  ~MailSlotWriter_Client() override { Close(); }

  // Opens the mailslot; 1 (logged) when nobody listens on it.
  int32_t Initialize(ILogInterface* logger) override;
  void Close();
  bool IsInitialized() override { return initialised_; }
  void SetInitialized(bool value) override { initialised_ = value; }
  // Writes the text with its NUL as one message: 0, 6 for no text, 18 when
  // not open, 1 when the write fails (logged).
  virtual int32_t SendMessage(const char* text);

 private:
  bool initialised_ = false;
  ILogInterface* logger_ = nullptr;
  std::u16string name_;
  platform::MailslotWriter mailslot_;
};

}  // namespace talvenix
