// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include <filesystem>

#include "platform/dynamic_library.hpp"
#include "platform/program_path_win.hpp"
#include "platform/system_calls.hpp"
#include "platform/wide_text_win.hpp"

namespace talvenix::platform {

DynamicLibrary::~DynamicLibrary() { Close(); }

bool DynamicLibrary::Open(const std::string& path) {
  Close();
  if (path.empty()) {
    error_ = ErrorFromSystem(ERROR_FILE_NOT_FOUND);
    last_error_ = "cannot load a library without a file name";
    return false;
  }
  // No "cannot find the library" dialog box on a server.
  DWORD old_mode = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode);
  // A whole path is that file, and what it imports comes from its own
  // folder and the system's, never from the working folder or PATH, where
  // a planted library would be taken. Windows without these flags (Vista,
  // 7 without its update) refuses them: there the folder of the file is
  // searched first instead.
  const std::wstring wide = Wide(path);
  if (std::filesystem::path(wide).is_absolute()) {
    handle_ =
        g_system_calls.load_library(wide.c_str(), LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (!handle_ && GetLastError() == ERROR_INVALID_PARAMETER)
      handle_ = g_system_calls.load_library(wide.c_str(), LOAD_WITH_ALTERED_SEARCH_PATH);
  } else {
    handle_ = g_system_calls.load_library(wide.c_str(), 0);
  }
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

std::string DynamicLibrary::Beside(const void* address, const std::string& file) {
  std::string folder = FolderOf(address);
  return folder.empty() ? std::string() : folder + "\\" + file;
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
