// SPDX-License-Identifier: Apache-2.0
#pragma once
// A shared library loaded at run time. One object owns at most one handle and
// closes it when destroyed. Failures never throw: Open returns false and
// leaves an Error and the loader's readable reason. Not shared between threads.

#include <string>

#include "platform/error.hpp"

namespace talvenix::platform {

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads `path` (a name without a folder is looked for on the loader's search
  // path; a whole path on Windows takes what it imports from its own folder
  // and the system's only). Closes a library opened earlier first. False
  // when it cannot load, or for an empty path.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }

  // Address of an exported symbol, or null (LastError says why).
  void* Symbol(const char* name);

  // Why the last Open or Symbol failed: kNotFound when the file or symbol
  // does not exist, kNotLoadable when the file is not a library for us.
  const Error& LastErrorKind() const { return error_; }
  // The system's number of that error, for log lines; the loader's own text.
  int LastErrorCode() const { return error_.system_code(); }
  const std::string& LastError() const { return last_error_; }

  // Folder of the loaded file that holds `address`, without the trailing
  // slash; empty when it cannot be told.
  static std::string FolderOf(const void* address);
  // `file` in that folder, joined with the platform's separator: where a
  // module finds the libraries that belong to it; empty when the folder
  // cannot be told (Open then refuses it).
  static std::string Beside(const void* address, const std::string& file);
  static bool FileExists(const std::string& path);

 private:
  void* handle_ = nullptr;
  Error error_;
  std::string last_error_;
};

}  // namespace talvenix::platform
