// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the WinHTTP clients share (the gateways' HTTP client and the SOAP
// transport): asynchronous sessions whose request handles report their
// completions to a WinHttpCall, the user's proxy settings and error texts.
// Windows only.

// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <atomic>
#include <mutex>
#include <string>

namespace talvenix::platform {

// The text of a WinHTTP error from winhttp.dll's messages, else the system's,
// without trailing white space; empty when neither knows the code.
std::string WinHttpMessage(DWORD code);

// Closes `handle` when it is open and forgets it.
void CloseInternet(HINTERNET& handle);

// A request handle that another thread may close under `lock` (closing it
// cancels what WinHTTP is doing for it): starts an operation on it under the
// lock, so the handle cannot be closed between the check and the call; false
// with ERROR_WINHTTP_OPERATION_CANCELLED once it is closed.
template <typename Start>
bool StartOperation(std::mutex& lock, HINTERNET& request, Start start) {
  std::lock_guard hold(lock);
  if (!request) {
    SetLastError(ERROR_WINHTTP_OPERATION_CANCELLED);
    return false;
  }
  return start(request);
}

// Closes such a request.
void CloseRequest(std::mutex& lock, HINTERNET& request);

// One request handle's view of the status callback, set as the handle's
// context value. It lives until WinHTTP says the handle is closing, which may
// be after the caller is done with it (a cancelled operation is finished by
// WinHTTP on its own thread).
struct WinHttpCall {
  WinHttpCall() : done(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~WinHttpCall() {
    if (done) ::CloseHandle(done);
  }
  WinHttpCall(const WinHttpCall&) = delete;
  WinHttpCall& operator=(const WinHttpCall&) = delete;
  void Release() {
    if (--refs == 0) delete this;
  }

  HANDLE done;               // auto-reset: the operation under way completed
  std::atomic<int> refs{2};  // the caller's and the request handle's
  // Written by the callback before `done` is set; read after the wait.
  DWORD completion = 0;
  DWORD error = 0;
  DWORD bytes = 0;
  std::atomic<bool> sent{false};  // the request went out
};

// WinHTTP's time limits of a session, in milliseconds (0: none).
struct WinHttpTimeouts {
  int resolve_ms = 0, connect_ms = 0, send_ms = 0, receive_ms = 0;
};

// An asynchronous session whose request handles report to the WinHttpCall
// in their context value, kept while its user agent and proxy stay the same
// (the proxy is a session's: WinHTTP's connection pool is per session).
class WinHttpSession {
 public:
  WinHttpSession() = default;
  ~WinHttpSession() { Close(); }
  WinHttpSession(const WinHttpSession&) = delete;
  WinHttpSession& operator=(const WinHttpSession&) = delete;

  // The session for `user_agent` and `proxy`, opened anew when either
  // changed, with `timeouts` set on a new one when given; null with
  // GetLastError set.
  HINTERNET Open(const std::wstring& user_agent, const WINHTTP_PROXY_INFO& proxy,
                 const WinHttpTimeouts* timeouts = nullptr);
  void Close();

 private:
  HINTERNET handle_ = nullptr;
  std::wstring key_;  // the user agent and proxy the session was opened with
};

// The current user's proxy configuration ("" where it names none).
struct UserProxySettings {
  std::wstring proxy, auto_config_url, bypass;
  bool auto_detect = false;
};

// False when the configuration cannot be read.
bool LoadUserProxySettings(UserProxySettings& settings);

}  // namespace talvenix::platform
