// SPDX-License-Identifier: Apache-2.0
#include "engine/test_channel/sorrel_message.hpp"

#include <cstdio>
#include <cstring>

#include "support/text_codec.hpp"

namespace talvenix {
namespace {

std::string Escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::string Escaped(std::u16string_view text) { return Escaped(Utf16ToUtf8(text)); }

void Header(std::string& out, const char* name, const std::string& value) {
  out += name;
  out += ": ";
  out += value;
  out += '\n';
}

// The body file's text as UTF-8, after its byte-order mark.
std::string BodyText(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::u16string text;
    text.reserve((bytes.size() - 2) / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
      text +=
          static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
    return Utf16ToUtf8(text);
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return Utf16ToUtf8(Utf8ToUtf16(bytes.substr(3)));
  return Utf16ToUtf8(Utf8ToUtf16(bytes));  // replaces invalid sequences
}

}  // namespace

CSorrelMessage::~CSorrelMessage() {
  if (!path_.empty() && !finished_) {
    file_.Close();
    platform::RemoveFile(path_);  // never leave a half-made job behind
  }
}

int CSorrelMessage::Create(const char* path) {
  if (!path || !*path || !path_.empty()) {
    last_error_ = platform::Error(platform::ErrorKind::kInvalidArgument);
    return 0;
  }
  if (platform::Error error = file_.CreateNew(path)) {
    last_error_ = error;
    return 0;
  }
  path_ = path;
  return 1;
}

void CSorrelMessage::SetSubject(const char16_t* subject) { subject_ = subject ? subject : u""; }

int CSorrelMessage::RecipAdd(const char16_t* name, const SorrelRecipientInfo& recipient) {
  if (!file_.IsOpen() || recipient.number[0] == '\0') {
    last_error_ =
        platform::Error(file_.IsOpen() ? platform::ErrorKind::kInvalidArgument : platform::ErrorKind::kShutDown);
    return 0;
  }
  Recipient r;
  r.name = name ? name : u"";
  r.info = recipient;
  r.info.number[sizeof r.info.number - 1] = '\0';
  recipients_.push_back(std::move(r));
  return 1;
}

int CSorrelMessage::SetBodyFile(const char* path) {
  if (!path) {
    last_error_ = platform::Error(platform::ErrorKind::kInvalidArgument);
    return 0;
  }
  platform::File body;
  std::string bytes;
  platform::Error error = body.OpenForReading(path);
  if (!error) error = body.ReadAll(bytes, kMaxBodyBytes);
  if (error) {
    last_error_ = error;
    return 0;
  }
  body_ = BodyText(bytes);
  has_body_ = true;
  return 1;
}

std::string CSorrelMessage::Render() const {
  char number[32];
  std::string out = "TALVENIX-MESSAGE 1\n";
  std::snprintf(number, sizeof number, "0x%08X", flags_);
  Header(out, "Flags", number);
  Header(out, "Subject", Escaped(std::u16string_view(subject_)));
  Header(out, "Sender-Name", Escaped(std::u16string_view(sender_.name)));
  Header(out, "Sender-Company", Escaped(std::u16string_view(sender_.company)));
  Header(out, "Sender-Number", Escaped(std::u16string_view(sender_.number)));
  Header(out, "Line", std::to_string(line_));
  for (const Recipient& r : recipients_) {
    Header(out, "Recipient-Name", Escaped(std::u16string_view(r.name)));
    Header(out, "Recipient-Number", Escaped(std::u16string_view(Utf8ToUtf16(r.info.number))));
    Header(out, "Recipient-Type", std::to_string(r.info.type));
  }
  Header(out, "Body-Bytes", std::to_string(body_.size()));
  out += '\n';
  out += body_;
  return out;
}

int CSorrelMessage::Close() {
  if (!file_.IsOpen()) {
    last_error_ = platform::Error(platform::ErrorKind::kShutDown);
    return 0;
  }
  if (recipients_.empty() || !has_body_) {
    last_error_ = platform::Error(platform::ErrorKind::kInvalidArgument);  // the sender could do nothing with it
    return 0;
  }
  std::string text = Render();
  platform::Error error = file_.WriteAll(text.data(), text.size());
  if (!error) error = file_.Sync();
  platform::Error close_error = file_.Close();
  if (!error) error = close_error;
  if (error) {
    last_error_ = error;
    return 0;
  }
  finished_ = true;
  return 1;
}

}  // namespace talvenix
