#pragma once
// Checks of a message given to the API (JSON or Kannel's query), one rule
// set for both.

#include <optional>
#include <string>

#include "daemon/message_queue.hpp"

namespace talvenix::daemon {

struct FieldError {
  std::string field, why;
};

// Checks `m` and puts its text into canonical UTF-8 (bad bytes become U+FFFD).
std::optional<FieldError> CheckMessage(NewMessage& m);

}  // namespace talvenix::daemon
