// SPDX-License-Identifier: Apache-2.0
#include "engine/test_channel/test_message_file.hpp"

#include <chrono>
#include <cstring>
#include <string_view>

#include "engine/test_channel/sorrel_message.hpp"
#include "engine/test_channel/text_writer.hpp"
#include "platform/dynamic_library.hpp"
#include "platform/file.hpp"
#include "platform/host_settings.hpp"
#include "support/overrides.hpp"
#include "support/text_codec.hpp"

namespace talvenix {
namespace {

template <size_t N>
std::u16string_view Field(const char16_t (&field)[N]) {
  return std::u16string_view(field, Utf16Length(field, N));
}

// Every file of a job other than the finished one is hidden and named
// ".testsms<unique>...part", so a job killed half-way is told by its name and
// removed by a later one once it is surely abandoned.
constexpr const char* kPartPrefix = ".testsms";
constexpr const char* kPartSuffix = ".part";
constexpr std::chrono::seconds kAbandonedAfter{60};

// Removes what a failed attempt made, whatever step it failed at.
struct Leftovers {
  std::string reservation, body;
  ~Leftovers() {
    if (!body.empty()) platform::RemoveFile(body);
    if (!reservation.empty()) platform::RemoveFile(reservation);
  }
};

}  // namespace

std::string TestMessageFolder(ILogInterface* logger) {
  platform::HostSettings settings;
  std::string path = HostSettingsPath();
  std::string folder;
  switch (settings.Load(path)) {
    case platform::HostSettings::Status::kLoaded:
      folder = settings.Get(kOutgoingFolderSection, kOutgoingFolderKey).value_or("");
      break;
    case platform::HostSettings::Status::kMissing:
      break;
    case platform::HostSettings::Status::kUnreadable:
      logger->Warn("TestMessageFolder - Cannot read host settings %s [erc: %d], using the default folder.",
                   path.c_str(), settings.error().system_code());
      break;
    case platform::HostSettings::Status::kMalformed:
      logger->Warn("TestMessageFolder - Host settings %s malformed at line %d, using the default folder.", path.c_str(),
                   settings.error_line());
      break;
  }
  while (folder.size() > 1 && platform::IsFolderSeparator(folder.back())) folder.pop_back();
  constexpr char sep = platform::kFolderSeparator;
  if (folder.empty()) {
    std::string module = platform::DynamicLibrary::FolderOf(reinterpret_cast<const void*>(&TestMessageFolder));
    folder = (module.empty() ? std::string(".") : module) + sep + "out";
  }
  return folder + sep + "sms" + sep;
}

int32_t WriteTestMessageFile(ILogInterface* logger, const std::string& folder, const TalvexTestRequest& request) {
  platform::RemoveStaleFiles(folder, kPartPrefix, kPartSuffix, kAbandonedAfter);
  Leftovers leftovers;
  platform::File reservation;
  std::string reserved;
  if (platform::Error error = reservation.CreateUnique(folder, kPartPrefix, kPartSuffix, reserved)) {
    logger->Error("WriteTestMessageFile - Failed to create a file in %s [erc: %d]", folder.c_str(),
                  error.system_code());
    return TALVEX_FAILED;
  }
  reservation.Close();
  leftovers.reservation = reserved;
  // The reserved name's unique part keeps the other names of this job unique.
  std::string unique = reserved.substr(folder.size() + std::strlen(kPartPrefix), 6);
  std::string body_path = folder + kPartPrefix + unique + ".bdy" + kPartSuffix;
  std::string message_path = folder + "testsms" + unique + ".sqv";
  std::string temporary_path = folder + kPartPrefix + unique + ".sqv" + kPartSuffix;

  CSorrelMessage message;
  if (!message.Create(temporary_path.c_str())) {
    logger->Error("WriteTestMessageFile - Failed to create %s [erc: %d]", temporary_path.c_str(),
                  message.last_error().system_code());
    return TALVEX_FAILED;
  }
  {
    platform::File body;
    platform::Error error = body.CreateNew(body_path);
    if (!error) {
      leftovers.body = body_path;
      std::u16string text(Field(request.body));
      CTextWriter writer(body.fd());
      error = writer.Initialize(kCodePageUtf16);
      if (!error) error = writer.Write(text.c_str(), static_cast<uint32_t>(text.size()));
      if (!error) error = body.Close();
    }
    if (error) {
      logger->Error("WriteTestMessageFile - Failed to write %s [erc: %d]", body_path.c_str(), error.system_code());
      return TALVEX_FAILED;
    }
  }
  message.SetFlags(message.GetFlags() | kTestMessageFlag);
  message.SetSubject(std::u16string(Field(request.subject)).c_str());
  message.SetSenderInfo(SorrelSenderInfo{});
  message.SetFaxLine(request.line);
  SorrelRecipientInfo recipient;
  size_t number_length = strnlen(request.recipient, sizeof request.recipient);
  CopyBounded(recipient.number, kMaxRecipientChars + 1, std::string_view(request.recipient, number_length));
  recipient.type = kTestRecipientType;
  if (!message.RecipAdd(nullptr, recipient) || !message.SetBodyFile(body_path.c_str()) || !message.Close()) {
    logger->Error("WriteTestMessageFile - Failed to write %s [erc: %d]", temporary_path.c_str(),
                  message.last_error().system_code());
    return TALVEX_FAILED;
  }
  platform::RemoveFile(body_path);
  leftovers.body.clear();
  if (platform::Error error = platform::RenameFile(temporary_path, message_path)) {
    platform::RemoveFile(temporary_path);
    logger->Error("WriteTestMessageFile - Failed to rename %s [erc: %d]", temporary_path.c_str(), error.system_code());
    return TALVEX_FAILED;
  }
  return TALVEX_OK;
}

}  // namespace talvenix
