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

class DeviceConnection {
 public:
  // The logger is not owned and must outlive the connection.
  explicit DeviceConnection(ILogInterface* logger);
  ~DeviceConnection();

  // One GET of `path` (path and query) to host:port. True when the whole
  // answer was read, whatever its HTTP status; `response` is the body up to
  // its first NUL. False, with the failure logged, when the device cannot be
  // reached, the connection breaks, or nothing arrives within the time-outs.
  bool send_request(std::string& response, const std::string& path, std::u16string_view host, uint16_t port);

 private:
  struct State;
  ILogInterface* logger_;
  std::mutex mutex_;
  std::unique_ptr<State> state_;
};

}  // namespace multitech
}  // namespace talvenix
