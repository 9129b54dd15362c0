// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the test channel's tests set up differently per platform, one file per
// platform beside this header: where the host's settings name the outgoing
// folder (a settings file on POSIX, the registry on Windows), the mailslots'
// namespace, the system's error numbers, and starting the talvenix program.

#include <filesystem>
#include <string>
#include <vector>

namespace talvenix::testing {

class ChannelHost {
 public:
  // Settings of the test's own, kept under `folder` or a key of its own, so
  // the real host's are never read. On POSIX the mailslots live in a runtime
  // folder under `folder` too; on Windows their namespace is the machine's
  // (the Wine server's), so the tests that listen must not run in parallel.
  explicit ChannelHost(const std::filesystem::path& folder);
  ~ChannelHost();  // removes the settings, restores the environment
  ChannelHost(const ChannelHost&) = delete;
  ChannelHost& operator=(const ChannelHost&) = delete;

  // The host's "outdir"; "" is present and empty.
  void SetOutgoingFolder(const std::string& outdir);
  // No host settings at all.
  void RemoveSettings();

 private:
  std::filesystem::path folder_;
  std::string key_;  // the registry key of the test's settings (Windows)
};

// The system's error number when a file is to be made in a folder that does
// not exist, and when a mailslot name already has its reader.
extern const int kNoSuchFolderError;
extern const int kMailslotTakenError;

// Makes the process end at once, as if killed, when platform/ next writes to a
// file, and with kKilledExitCode. For a child process (a death test) only.
void DieAtTheNextFileWrite();
inline constexpr int kKilledExitCode = 9;

// Runs this build's talvenix program with `args` and waits for it: its exit
// status, -1 when it could not be started.
int RunHostProgram(const std::vector<std::string>& args);

}  // namespace talvenix::testing
