// SPDX-License-Identifier: Apache-2.0
#pragma once
// The SOAP library (message_media_client.hpp), loaded from beside the module,
// and the clients it makes. A client must be released before the library
// that made it: hold both, the library first.

#include <memory>
#include <string>

#include "gateways/messagemedia/message_media_client.hpp"
#include "platform/dynamic_library.hpp"

namespace talvenix {

struct ReleaseMessageMediaClient {
  void operator()(IMessageMediaClient* client) const {
    if (client) client->Release();
  }
};
using MessageMediaClientPtr = std::unique_ptr<IMessageMediaClient, ReleaseMessageMediaClient>;

class SoapClientLibrary {
 public:
  // Beside the module (or the program that links this gateway).
  static std::string Path();

  // A new client, the library loaded first; null with `why` (the library's
  // path and the reason) when it cannot be.
  MessageMediaClientPtr NewClient(ILogInterface* logger, std::string& why);

 private:
  platform::DynamicLibrary library_;
  NewMessageMediaClientFn new_client_ = nullptr;
};

}  // namespace talvenix
