// SPDX-License-Identifier: Apache-2.0
#pragma once
// Loads the module (libTalvenix.so, Talvenix.dll) at run time and resolves
// the thirteen exports; used by the command-line host, the daemon and the tests that
// drive the module as a host. Module state is global: one load per process,
// and the module stays loaded until the process ends.

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/dynamic_library.hpp"
#include "platform/program_path.hpp"
#include "talvenix/talvenix.h"

namespace talvenix::host {

struct Module {
  decltype(&::InitTalvex) InitTalvex;
  decltype(&::SendSMS) SendSMS;
  decltype(&::Update) Update;
  decltype(&::Unint) Unint;
  decltype(&::ExecuteCommand) ExecuteCommand;
  decltype(&::InitXMLConfigurations) InitXMLConfigurations;
  decltype(&::LoadGSMGenericXMLConfigurations) LoadGSMGenericXMLConfigurations;
  decltype(&::ChangeXMLGenericConfigurations) ChangeXMLGenericConfigurations;
  decltype(&::ChangeXMLConfigurations) ChangeXMLConfigurations;
  decltype(&::LoadGSMServiceXMLConfigurations) LoadGSMServiceXMLConfigurations;
  decltype(&::XMLConfigMultiLine_CreateNewLine) XMLConfigMultiLine_CreateNewLine;
  decltype(&::XMLConfigMultiLine_DeleteLine) XMLConfigMultiLine_DeleteLine;
  decltype(&::FreeXMLLoadResources) FreeXMLLoadResources;

#ifdef TALVENIX_MODULE_PATH
  // The module of this build (tests).
  static Module& Get() {
    static Module m = Load(TALVENIX_MODULE_PATH);
    return m;
  }
#endif

  // Throws std::runtime_error naming the file or the missing export.
  static Module Load(const char* path) {
    auto library = std::make_unique<platform::DynamicLibrary>();
    if (!library->Open(path)) throw std::runtime_error(library->LastError());
    // Never closed, and kept reachable: the exports stay callable until exit.
    static auto* loaded = new std::vector<std::unique_ptr<platform::DynamicLibrary>>;
    loaded->push_back(std::move(library));
    platform::DynamicLibrary* kept = loaded->back().get();
    Module m{};
#define TALVENIX_RESOLVE(name) Resolve(*kept, m.name, #name)
    TALVENIX_RESOLVE(InitTalvex);
    TALVENIX_RESOLVE(SendSMS);
    TALVENIX_RESOLVE(Update);
    TALVENIX_RESOLVE(Unint);
    TALVENIX_RESOLVE(ExecuteCommand);
    TALVENIX_RESOLVE(InitXMLConfigurations);
    TALVENIX_RESOLVE(LoadGSMGenericXMLConfigurations);
    TALVENIX_RESOLVE(ChangeXMLGenericConfigurations);
    TALVENIX_RESOLVE(ChangeXMLConfigurations);
    TALVENIX_RESOLVE(LoadGSMServiceXMLConfigurations);
    TALVENIX_RESOLVE(XMLConfigMultiLine_CreateNewLine);
    TALVENIX_RESOLVE(XMLConfigMultiLine_DeleteLine);
    TALVENIX_RESOLVE(FreeXMLLoadResources);
#undef TALVENIX_RESOLVE
    return m;
  }

 private:
  template <typename F>
  static void Resolve(platform::DynamicLibrary& library, F& fn, const char* name) {
    fn = reinterpret_cast<F>(library.Symbol(name));
    if (!fn) throw std::runtime_error(std::string("missing export ") + name);
  }
};

#ifdef TALVENIX_MODULE_FROM_BIN
// The module, in this order: TALVENIX_MODULE; the installed module, found
// from the program's own folder (bin/ -> lib/<arch>/talvenix/), so a staged or
// relocated tree works too; the module's folder of the build tree.
inline std::string ModulePath() {
  if (const char* env = std::getenv("TALVENIX_MODULE"); env && *env) return env;
  std::string dir = platform::ProgramFolder();
  if (dir.empty()) dir = ".";
  std::string installed = dir + "/" TALVENIX_MODULE_FROM_BIN "/" TALVENIX_MODULE_FILE;
  std::error_code ec;
  return std::filesystem::exists(installed, ec) ? installed
                                                : dir + "/" TALVENIX_MODULE_FROM_BUILD_BIN "/" TALVENIX_MODULE_FILE;
}
#endif

}  // namespace talvenix::host
