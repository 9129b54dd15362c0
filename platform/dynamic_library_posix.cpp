// SPDX-License-Identifier: Apache-2.0
#include "platform/dynamic_library.hpp"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/system_calls.hpp"

namespace talvenix::platform {

DynamicLibrary::~DynamicLibrary() { Close(); }

bool DynamicLibrary::Open(const std::string& path) {
  Close();
  if (path.empty()) {  // dlopen would hand back the program itself
    error_ = ErrorFromSystem(ENOENT);
    last_error_ = "cannot load a library without a file name";
    return false;
  }
  dlerror();
  errno = 0;
  // RTLD_LOCAL: a driver's symbols must not satisfy lookups of other libraries.
  handle_ = g_system_calls.dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  int system_error = errno;
  if (handle_) {
    error_ = kNoError;
    last_error_.clear();
    return true;
  }
  const char* reason = dlerror();
  if (!reason && system_error != 0) {
    // Failed before the loader had anything to say (out of memory, descriptors).
    error_ = ErrorFromSystem(system_error);
    last_error_ = "cannot load " + path + ": " + error_.Describe();
    return false;
  }
  last_error_ = reason ? reason : "cannot load " + path;
  // dlopen keeps no error number; tell a missing file from a file that is not loadable.
  bool has_folder = path.find('/') != std::string::npos;
  error_ = ErrorFromSystem(
      (has_folder && !FileExists(path)) || last_error_.find("No such file") != std::string::npos ? ENOENT : ENOEXEC);
  return false;
}

void DynamicLibrary::Close() {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

void* DynamicLibrary::Symbol(const char* name) {
  if (!handle_ || !name) {
    error_ = ErrorFromSystem(EINVAL);
    last_error_ = "no library loaded";
    return nullptr;
  }
  dlerror();
  void* address = dlsym(handle_, name);
  if (!address) {
    const char* reason = dlerror();
    error_ = ErrorFromSystem(ENOENT);
    last_error_ = reason ? reason : std::string("missing symbol ") + name;
  }
  return address;
}

std::string DynamicLibrary::Beside(const void* address, const std::string& file) {
  std::string folder = FolderOf(address);
  return folder.empty() ? std::string() : folder + "/" + file;
}

std::string DynamicLibrary::FolderOf(const void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fname) return {};
  std::string file = info.dli_fname;
  size_t slash = file.find_last_of('/');
  return slash == std::string::npos ? std::string() : file.substr(0, slash);
}

bool DynamicLibrary::FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace talvenix::platform
