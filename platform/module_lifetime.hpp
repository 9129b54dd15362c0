// SPDX-License-Identifier: Apache-2.0
#pragma once
// How long the module's code stays mapped and its static objects live.
//
// When a Windows process ends, the system ends every other thread first and
// then runs the module's static destructors inside DllMain, under the loader
// lock: a destructor that waits there for a thread, or for a lock a dead
// thread held, never returns. Static objects that own threads are kept in a
// KeptAtProcessEnd, which skips their destructor then (the system reclaims
// what they hold). Everywhere else (an unload after the threads stopped; exit
// and dlclose on POSIX, where the threads still run) they are destroyed as
// usual, and stop their threads.
//
// A FreeLibrary while the module's threads run would unmap their code, and its
// DllMain could not wait for them: a ModuleHold keeps the module loaded while
// they run. dlclose runs the static destructors first, which stop them, so a
// hold changes nothing on POSIX.

#include <new>
#include <utility>

namespace talvenix::platform {

// True only once a Windows process is ending (set by the module's DllMain).
bool ProcessIsEnding();
void NoteProcessEnding();

template <typename T>
class KeptAtProcessEnd {
 public:
  template <typename... Args>
  explicit KeptAtProcessEnd(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  ~KeptAtProcessEnd() {
    if (!ProcessIsEnding()) get().~T();
  }
  KeptAtProcessEnd(const KeptAtProcessEnd&) = delete;
  KeptAtProcessEnd& operator=(const KeptAtProcessEnd&) = delete;

  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }
  T* operator->() { return &get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

// One more reference on the module holding this code, for the object's life.
class ModuleHold {
 public:
  ModuleHold();
  ~ModuleHold();
  ModuleHold(const ModuleHold&) = delete;
  ModuleHold& operator=(const ModuleHold&) = delete;
  // Whether this platform needs, and got, the reference.
  bool Holds() const { return module_ != nullptr; }

 private:
  void* module_ = nullptr;
};

}  // namespace talvenix::platform
