// SPDX-License-Identifier: Apache-2.0
#pragma once
// CSorrelMessage: a message job file for the host's sender, written into its
// outgoing folder. The module calls, in this order: Create, GetFlags/SetFlags,
// SetSubject, SetSenderInfo, SetFaxLine, RecipAdd, SetBodyFile, then Close,
// which writes the whole file, flushes it to disk and closes it. Only then may
// the caller rename it to the name the sender looks for. An object destroyed
// without a successful Close removes its unfinished file.
//
// The file is UTF-8 text:
//
//   TALVENIX-MESSAGE 1
//   Flags: 0x00000040
//   Subject: <text>
//   Sender-Name: <text>
//   Sender-Company: <text>
//   Sender-Number: <text>
//   Line: <decimal>
//   Recipient-Name: <text>        one group of three lines per recipient,
//   Recipient-Number: <text>      in the order they were added
//   Recipient-Type: <decimal>
//   Body-Bytes: <decimal>
//   <empty line>
//   <body: exactly Body-Bytes bytes of UTF-8, to the end of the file>
//
// Lines end with "\n". In header values a backslash is written "\\", a
// carriage return "\r" and a line feed "\n", so each header is one line.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.hpp"

namespace talvenix {

struct SorrelSenderInfo {
  std::u16string name;
  std::u16string company;
  std::u16string number;
};

struct SorrelRecipientInfo {
  char number[64] = {};  // 8-bit, NUL-terminated
  std::u16string company;
  uint32_t type = 0;  // the host's recipient type; passed through
};

class CSorrelMessage {
 public:
  static constexpr size_t kMaxBodyBytes = 1 << 20;

  CSorrelMessage() = default;
  virtual ~CSorrelMessage();
  CSorrelMessage(const CSorrelMessage&) = delete;
  CSorrelMessage& operator=(const CSorrelMessage&) = delete;

  // Creates the message file, which must not exist yet. Non-zero on success;
  // last_error() tells why not.
  virtual int Create(const char* path);
  virtual uint32_t GetFlags() { return flags_; }
  virtual void SetFlags(uint32_t flags) { flags_ = flags; }
  virtual void SetSubject(const char16_t* subject);
  virtual void SetSenderInfo(const SorrelSenderInfo& sender) { sender_ = sender; }
  virtual void SetFaxLine(uint32_t line) { line_ = line; }
  // `name` may be null. Non-zero on success.
  virtual int RecipAdd(const char16_t* name, const SorrelRecipientInfo& recipient);
  // Takes the body from a text file (UTF-16LE or UTF-8 after its mark, UTF-8
  // without one); the file is not needed afterwards. Non-zero on success.
  virtual int SetBodyFile(const char* path);
  // Writes, flushes and closes the message file. Non-zero on success.
  virtual int Close();

  platform::Error last_error() const { return last_error_; }  // why the last operation failed

 private:
  struct Recipient {
    std::u16string name;
    SorrelRecipientInfo info;
  };
  std::string Render() const;

  platform::File file_;
  std::string path_;
  bool finished_ = false;
  uint32_t flags_ = 0;
  std::u16string subject_;
  SorrelSenderInfo sender_;
  uint32_t line_ = 0;
  std::vector<Recipient> recipients_;
  std::string body_;  // UTF-8
  bool has_body_ = false;
  platform::Error last_error_;
};

}  // namespace talvenix
