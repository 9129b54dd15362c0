// SPDX-License-Identifier: Apache-2.0
#pragma once
// The two ends of the test-message mailslot share this small interface.
// Results: 0 success, 6 invalid argument, 17 already initialised,
// 18 not initialised, 1 any other failure.

#include <cstdint>

#include "contract/log_interface.hpp"

namespace talvenix {

// The channel's mailslot (a local name; see platform/mailslot.hpp).
inline constexpr char16_t kTestMailslotName[] = u"\\\\.\\mailslot\\VantrelOrlinda\\GSM\\smstest";
constexpr uint32_t kMailslotNameChars = 260;

class IMailSlot {
 public:
  virtual ~IMailSlot() = default;
  virtual int32_t Initialize(ILogInterface* logger) = 0;
  virtual bool IsInitialized() = 0;
  virtual void SetInitialized(bool value) = 0;
};

}  // namespace talvenix
