// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include "platform/dynamic_library.hpp"
#include "platform/program_path_win.hpp"
#include "platform/system_calls.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::platform {

DynamicLibrary::~DynamicLibrary() { Close(); }

bool DynamicLibrary::Open(const std::string& path) {
  Close();
  // No "cannot find the library" dialog box on a server.
  DWORD old_mode = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode);
  handle_ = g_system_calls.load_library(Wide(path).c_str());
  error_ = handle_ ? kNoError : LastSystemError();
  SetThreadErrorMode(old_mode, nullptr);
  if (handle_) {
    last_error_.clear();
    return true;
  }
  last_error_ = "cannot load " + path + ": " + error_.Describe();
  return false;
}

void DynamicLibrary::Close() {
  if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

void* DynamicLibrary::Symbol(const char* name) {
  if (!handle_ || !name) {
    error_ = ErrorFromSystem(ERROR_INVALID_PARAMETER);
    last_error_ = "no library loaded";
    return nullptr;
  }
  void* address = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
  if (!address) {
    error_ = LastSystemError();
    last_error_ = std::string("missing symbol ") + name + ": " + error_.Describe();
  }
  return address;
}

std::string DynamicLibrary::FolderOf(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<const wchar_t*>(address), &module))
    return {};
  return ModuleFolder(module);
}

bool DynamicLibrary::FileExists(const std::string& path) {
  DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace talvenix::platform
