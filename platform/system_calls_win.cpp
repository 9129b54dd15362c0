// SPDX-License-Identifier: Apache-2.0
#include "platform/system_calls.hpp"

namespace talvenix::platform {
namespace {

HANDLE NullWhenInvalid(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }

}  // namespace

SystemCalls g_system_calls = {
    .create_file =
        [](const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
          return NullWhenInvalid(CreateFileW(path, access, share, nullptr, disposition, flags, nullptr));
        },
    .read_file = [](HANDLE file, void* buffer, DWORD size, DWORD* done,
                    OVERLAPPED* overlapped) { return ReadFile(file, buffer, size, done, overlapped) != FALSE; },
    .write_file = [](HANDLE file, const void* data, DWORD size, DWORD* done,
                     OVERLAPPED* overlapped) { return WriteFile(file, data, size, done, overlapped) != FALSE; },
    .flush_file_buffers = [](HANDLE file) { return FlushFileBuffers(file) != FALSE; },
    .replace_file =
        [](const wchar_t* replaced, const wchar_t* replacement) {
          return ReplaceFileW(replaced, replacement, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) !=
                 FALSE;
        },
    .move_file = [](const wchar_t* from, const wchar_t* to,
                    DWORD flags) { return MoveFileExW(from, to, flags) != FALSE; },
    .delete_file = [](const wchar_t* path) { return DeleteFileW(path) != FALSE; },
    .lock_file =
        [](HANDLE file, DWORD flags, OVERLAPPED* overlapped) {
          return LockFileEx(file, flags, 0, MAXDWORD, MAXDWORD, overlapped) != FALSE;
        },
    .load_library = [](const wchar_t* path, DWORD flags) { return LoadLibraryExW(path, nullptr, flags); },
    .create_mailslot =
        [](const wchar_t* name, DWORD read_timeout) {
          return NullWhenInvalid(CreateMailslotW(name, 0, read_timeout, nullptr));
        },
    .create_io_completion_port = [](HANDLE file, HANDLE port,
                                    ULONG_PTR key) { return CreateIoCompletionPort(file, port, key, 0); },
    .create_timer =
        [](HANDLE* timer, HANDLE queue, WAITORTIMERCALLBACK routine, void* context, DWORD due_ms) {
          return CreateTimerQueueTimer(timer, queue, routine, context, due_ms, 0,
                                       WT_EXECUTEINTIMERTHREAD | WT_EXECUTEONLYONCE) != FALSE;
        },
};

void SetSystemError(int code) { SetLastError(static_cast<DWORD>(code)); }

}  // namespace talvenix::platform
