// SPDX-License-Identifier: Apache-2.0
#pragma once
// The system's handle of an open file, device, mailslot or event: the one type
// that differs between platforms, so headers holding one include this.

namespace talvenix::platform {

#if defined(_WIN32)
using NativeHandle = void*;  // a HANDLE
inline NativeHandle const kInvalidHandle = reinterpret_cast<void*>(-1);  // INVALID_HANDLE_VALUE
#else
using NativeHandle = int;  // a descriptor
constexpr NativeHandle kInvalidHandle = -1;
#endif

}  // namespace talvenix::platform
