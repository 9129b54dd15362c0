// SPDX-License-Identifier: Apache-2.0
#include "gateways/messagemedia/soap_client_library.hpp"

namespace talvenix {

std::string SoapClientLibrary::Path() {
  // Any address inside this module tells where the module was loaded from.
  return platform::DynamicLibrary::Beside(reinterpret_cast<const void*>(&SoapClientLibrary::Path),
                                          TALVENIX_SOAP_LIBRARY_FILE);
}

MessageMediaClientPtr SoapClientLibrary::NewClient(ILogInterface* logger, std::string& why) {
  const std::string path = Path();
  if (!new_client_) {
    if (!library_.Open(path)) {
      why = "cannot load " + path + " (" + library_.LastError() + ")";
      return nullptr;
    }
    new_client_ = reinterpret_cast<NewMessageMediaClientFn>(library_.Symbol(kMessageMediaClientEntry));
    if (!new_client_) {
      why = path + " has no " + kMessageMediaClientEntry + " (" + library_.LastError() + ")";
      library_.Close();
      return nullptr;
    }
  }
  MessageMediaClientPtr client(new_client_(kMessageMediaClientVersion, logger));
  if (!client) why = path + " made no client (another version, or out of memory)";
  return client;
}

}  // namespace talvenix
