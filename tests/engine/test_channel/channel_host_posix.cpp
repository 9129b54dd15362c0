// SPDX-License-Identifier: Apache-2.0
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "channel_host.hpp"
#include "platform/system_calls.hpp"

extern char** environ;

namespace talvenix::testing {

ChannelHost::ChannelHost(const std::filesystem::path& folder) : folder_(folder) {
  std::filesystem::create_directories(folder_ / "run");
  setenv("XDG_RUNTIME_DIR", (folder_ / "run").c_str(), 1);
  setenv("TALVENIX_HOST_SETTINGS", (folder_ / "host.ini").c_str(), 1);
}

ChannelHost::~ChannelHost() { unsetenv("TALVENIX_HOST_SETTINGS"); }

void ChannelHost::SetOutgoingFolder(const std::string& outdir) {
  std::ofstream(folder_ / "host.ini", std::ios::trunc)
      << "[SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\E2FG]\noutdir = " << outdir << "\n";
}

void ChannelHost::RemoveSettings() { std::filesystem::remove(folder_ / "host.ini"); }

void DieAtTheNextFileWrite() {
  platform::g_system_calls.write = [](int, const void*, size_t) -> ssize_t { _exit(kKilledExitCode); };
}

const int kNoSuchFolderError = ENOENT;
const int kMailslotTakenError = EADDRINUSE;

int RunHostProgram(const std::vector<std::string>& args) {
  std::string program = std::string(TALVENIX_BINARY_DIR) + "/bin/talvenix";
  std::vector<std::string> copies = args;
  std::vector<char*> argv{program.data()};
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace talvenix::testing
