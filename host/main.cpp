// SPDX-License-Identifier: Apache-2.0
// talvenix: a command-line host of the module. It loads the module at run
// time and calls only the exports, like any host.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "host/commands.hpp"

using namespace talvenix::host;

namespace {

void PrintHelp() {
  std::printf(
      "usage: talvenix [--dir DIR] COMMAND [ARGS]\n\n"
      "  --dir DIR   folder holding qvsmscomms.xml (default: the working folder);\n"
      "              Talvenix.log is written there too\n\ncommands:\n");
  for (const Command& c : Commands()) std::printf("  %s %s\n      %s\n", c.name, c.usage, c.summary);
  std::printf(
      "\nthe module: TALVENIX_MODULE if set, else the installed one (%s/%s\n"
      "from this program's folder), else %s/%s from it (a build tree)\n",
      TALVENIX_MODULE_FROM_BIN, TALVENIX_MODULE_FILE, TALVENIX_MODULE_FROM_BUILD_BIN, TALVENIX_MODULE_FILE);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintHelp();
    return 2;
  }
  Arguments global(Args(argv + 1, argv + argc));
  std::string dir;
  bool in_dir = global.Has("--dir", dir);
  if (!global.ok()) return global.UsageError("");
  Args args = global.Rest();
  if (!args.empty() && (args.front() == "--help" || args.front() == "-h")) {
    PrintHelp();
    return 0;
  }
  if (args.empty() || args.front() == "--") {
    std::fprintf(stderr, "talvenix: give a command, e.g. talvenix send \"Hello\" (see talvenix --help)\n");
    return 2;
  }
  if (args.front().rfind("--", 0) == 0) {
    std::fprintf(stderr, "talvenix: unknown option %s (see talvenix --help)\n", args.front().c_str());
    return 2;
  }
  if (in_dir) {
    std::error_code ec;
    std::filesystem::current_path(dir, ec);
    if (ec) {
      std::fprintf(stderr, "talvenix: cannot enter folder %s: %s\n", dir.c_str(), ec.message().c_str());
      return 2;
    }
  }
  std::string name = args.front();
  args.erase(args.begin());
  for (const Command& c : Commands()) {
    if (name != c.name) continue;
    if (Arguments words(args); words.Flag("--help") || words.Flag("-h")) {
      std::printf("usage: talvenix [--dir DIR] %s %s\n\n%s\n%s%s", c.name, c.usage, c.summary, *c.help ? "\n" : "",
                  c.help);
      std::printf(*c.help ? "\n" : "");
      return 0;
    }
    Module module{};
    try {
      module = Module::Load(ModulePath().c_str());
    } catch (const std::exception& e) {
      std::fprintf(stderr,
                   "talvenix: cannot load the module: %s\n(set TALVENIX_MODULE to the path of %s)\n",
                   e.what(), TALVENIX_MODULE_FILE);
      return 1;
    }
    try {
      return c.run(module, args);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "talvenix %s: %s\n", c.name, e.what());
      return 1;
    }
  }
  std::fprintf(stderr, "talvenix: unknown command '%s'; try talvenix --help\n", name.c_str());
  return 2;
}
