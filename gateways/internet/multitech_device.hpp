// SPDX-License-Identifier: Apache-2.0
#pragma once
// One connection to the iSMS device: plain-HTTP GET requests over the shared
// HTTP client, kept alive between requests, with the system proxy
// configuration read afresh before each request (never any proxy
// credentials). Calls are serialised by the connection's own lock, so each
// thread that talks to the device keeps a connection of its own.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace talvenix {

class ILogInterface;

namespace multitech {

enum class DeviceReply {
  kAnswered,    // the whole answer was read, whatever its HTTP status
  kFailed,      // the request never went out whole: unreachable, refused, a failed send
  kNoAnswer,    // the request went out whole, but its answer broke off or did not come in time
  kMaybeTaken,  // the request went out and the kept connection dropped before any answer
  kAborted      // Abort ended it
};

class DeviceConnection {
 public:
  // The logger is not owned and must outlive the connection.
  explicit DeviceConnection(ILogInterface* logger);
  ~DeviceConnection();

  // One GET of `path` (path and query) to host:port; `response` is the body
  // up to its first NUL. Failures are logged, except an abort.
  DeviceReply send_request(std::string& response, const std::string& path, std::u16string_view host, uint16_t port);

  // Any thread: ends the request under way at once, and every later one,
  // until Resume.
  void Abort();
  void Resume();

 private:
  struct State;
  ILogInterface* logger_;
  std::mutex mutex_;
  std::unique_ptr<State> state_;
};

}  // namespace multitech
}  // namespace talvenix
