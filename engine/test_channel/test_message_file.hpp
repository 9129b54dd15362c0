// SPDX-License-Identifier: Apache-2.0
#pragma once
// The test message file: a message job dropped into the host's outgoing
// folder, so that the host's own sender sends it like any SMS. It appears
// there only complete, under its ".sqv" name.

#include <string>

#include "contract/log_interface.hpp"
#include "talvenix/talvenix.h"

namespace talvenix {

// Section and key of the host settings that hold the outgoing folder.
inline constexpr const char* kOutgoingFolderSection = "SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\E2FG";
inline constexpr const char* kOutgoingFolderKey = "outdir";
constexpr uint32_t kTestMessageFlag = 0x40;  // the host's mark for test jobs
constexpr uint32_t kTestRecipientType = 2;   // the host's recipient type for them
constexpr size_t kMaxRecipientChars = 63;

// "<outdir>/sms/" from the host settings, else "<module folder>/out/sms/", with
// the system's own separator.
// A settings file that cannot be read or is malformed is logged and ignored.
std::string TestMessageFolder(ILogInterface* logger);

// Writes the job for `request` into `folder` (ending with a separator). 0 on success;
// 1 on any failure, logged, with nothing left behind in the folder.
int32_t WriteTestMessageFile(ILogInterface* logger, const std::string& folder, const TalvexTestRequest& request);

}  // namespace talvenix
