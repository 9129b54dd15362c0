// SPDX-License-Identifier: Apache-2.0
#include "platform/winhttp_win.hpp"

#include <utility>

namespace talvenix::platform {
namespace {

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  auto* call = reinterpret_cast<WinHttpCall*>(context);
  if (!call) return;  // the session and connection handles have no state
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
      call->sent = true;
      return;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      call->Release();
      return;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      call->error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
      break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      call->bytes = *static_cast<DWORD*>(info);
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      call->bytes = length;
      break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      break;
    default:
      return;
  }
  call->completion = status;
  SetEvent(call->done);
}

constexpr DWORD kCallbackEvents =
    WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES | WINHTTP_CALLBACK_FLAG_SEND_REQUEST;

}  // namespace

std::string WinHttpMessage(DWORD code) {
  char text[255] = {};
  DWORD flags = FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
  DWORD n = FormatMessageA(flags | FORMAT_MESSAGE_FROM_HMODULE, GetModuleHandleA("winhttp.dll"), code, 0x400, text,
                           sizeof text, nullptr);
  if (n == 0) n = FormatMessageA(flags | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0x400, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\r' || text[n - 1] == '\n')) --n;
  return std::string(text, n);
}

void CloseInternet(HINTERNET& handle) {
  if (handle) WinHttpCloseHandle(handle);
  handle = nullptr;
}

void CloseRequest(std::mutex& lock, HINTERNET& request) {
  std::lock_guard hold(lock);
  CloseInternet(request);
}

HINTERNET WinHttpSession::Open(const std::wstring& user_agent, const WINHTTP_PROXY_INFO& proxy,
                               const WinHttpTimeouts* timeouts) {
  std::wstring key = user_agent + L'\n' + (proxy.lpszProxy ? proxy.lpszProxy : L"") + L'\n' +
                     (proxy.lpszProxyBypass ? proxy.lpszProxyBypass : L"");
  if (handle_ && key_ == key) return handle_;
  Close();
  handle_ =
      WinHttpOpen(user_agent.c_str(), proxy.dwAccessType, proxy.lpszProxy ? proxy.lpszProxy : WINHTTP_NO_PROXY_NAME,
                  proxy.lpszProxyBypass ? proxy.lpszProxyBypass : WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  if (!handle_) return nullptr;
  if (WinHttpSetStatusCallback(handle_, &OnStatus, kCallbackEvents, 0) == WINHTTP_INVALID_STATUS_CALLBACK ||
      (timeouts && !WinHttpSetTimeouts(handle_, timeouts->resolve_ms, timeouts->connect_ms, timeouts->send_ms,
                                       timeouts->receive_ms))) {
    DWORD error = GetLastError();
    Close();
    SetLastError(error);
    return nullptr;
  }
  key_ = std::move(key);
  return handle_;
}

void WinHttpSession::Close() {
  CloseInternet(handle_);
  key_.clear();
}

bool LoadUserProxySettings(UserProxySettings& settings) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return false;
  settings.proxy = config.lpszProxy ? config.lpszProxy : L"";
  settings.auto_config_url = config.lpszAutoConfigUrl ? config.lpszAutoConfigUrl : L"";
  settings.bypass = config.lpszProxyBypass ? config.lpszProxyBypass : L"";
  settings.auto_detect = config.fAutoDetect;
  for (LPWSTR text : {config.lpszProxy, config.lpszAutoConfigUrl, config.lpszProxyBypass})
    if (text) GlobalFree(text);
  return true;
}

}  // namespace talvenix::platform
