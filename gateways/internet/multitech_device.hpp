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

#include "contract/transport_outcome.hpp"

namespace talvenix {

class ILogInterface;

namespace multitech {

class DeviceConnection {
 public:
  // The logger is not owned and must outlive the connection.
  explicit DeviceConnection(ILogInterface* logger);
  ~DeviceConnection();

  // One GET of `path` (path and query) to host:port; `response` is the body
  // up to its first NUL. kAnswered whatever the HTTP status: the parsers
  // judge an error page. A `query` (it changes nothing on the device) is
  // sent again on a fresh connection when a kept one died before any
  // answer. Failures are logged, except a cut.
  TransportOutcome send_request(std::string& response, const std::string& path, std::u16string_view host, uint16_t port,
                                bool query);

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
