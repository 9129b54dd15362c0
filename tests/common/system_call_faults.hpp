// SPDX-License-Identifier: Apache-2.0
#pragma once
// Makes the Nth call of one system call of platform/ fail with a chosen error
// number (errno, or GetLastError on Windows), through the table in
// platform/system_calls.hpp. While the object lives the entry is replaced; it
// is put back on destruction. Calls before the Nth go through to the system,
// as do calls after it.
//
//   FailNthCall<&platform::SystemCalls::fsync> fail(1, EIO);

#include <atomic>
#include <cerrno>
#include <type_traits>

#include "platform/system_calls.hpp"

namespace talvenix::testing {

template <auto Member,
          typename Signature = std::remove_reference_t<decltype(std::declval<platform::SystemCalls&>().*Member)>>
class FailNthCall;

template <auto Member, typename R, typename... Args>
class FailNthCall<Member, R (*)(Args...)> {
 public:
  FailNthCall(int nth, int error) {
    original_ = platform::g_system_calls.*Member;
    countdown_ = nth;
    error_ = error;
    calls_ = 0;
    platform::g_system_calls.*Member = &Call;
  }
  ~FailNthCall() { platform::g_system_calls.*Member = original_; }
  FailNthCall(const FailNthCall&) = delete;
  FailNthCall& operator=(const FailNthCall&) = delete;

  // Calls seen so far, the failed one included.
  int calls() const { return calls_; }
  bool fired() const { return countdown_ <= 0; }

 private:
  static R Call(Args... args) {
    ++calls_;
    if (--countdown_ == 0) {
      platform::SetSystemError(error_);
      if constexpr (std::is_pointer_v<R>)
        return nullptr;
      else if constexpr (std::is_same_v<R, bool>)
        return false;
      else
        return -1;
    }
    return original_(args...);
  }

  static inline R (*original_)(Args...) = nullptr;
  static inline std::atomic<int> countdown_{0};
  static inline std::atomic<int> calls_{0};
  static inline int error_ = 0;
};

}  // namespace talvenix::testing
