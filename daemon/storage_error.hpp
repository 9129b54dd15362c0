// SPDX-License-Identifier: Apache-2.0
#pragma once
// A failure of the storage itself (a full disk, an I/O error, a database
// server out of reach), which writing again later may mend, unlike a
// statement's own fault.

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

namespace talvenix::daemon {

class StorageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a storage failure says; nothing for any other failure.
inline std::optional<std::string> StorageFailure(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const StorageError& x) {
    return x.what();
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace talvenix::daemon
