// SPDX-License-Identifier: Apache-2.0
// Arbitrary bytes as the HTTP answer body of the three SOAP calls, read by
// the same generated deserialisers and context settings as the gateway's
// client (strict, UTF-8). Looks for crashes and sanitizer reports.

#include <cstdint>
#include <sstream>
#include <string>

#include "soapMessageMediaServiceBindingProxy.h"

namespace {

template <typename Read>
void ReadAnswer(const std::string& body, Read read) {
  MessageMediaServiceBindingProxy binding(SOAP_IO_KEEPALIVE | SOAP_C_UTFSTRING | SOAP_XML_STRICT,
                                          SOAP_IO_KEEPALIVE | SOAP_C_UTFSTRING);
  std::istringstream in("HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body);
  binding.soap->is = &in;
  read(binding);
  binding.destroy();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  ReadAnswer(body, [](MessageMediaServiceBindingProxy& b) {
    _ns1__sendMessagesResponse response;
    if (b.recv_sendMessages(response) == SOAP_OK && response.result && response.result->errors)
      for (auto* e : response.result->errors->error) (void)(e ? e->code.size() : 0);
  });
  ReadAnswer(body, [](MessageMediaServiceBindingProxy& b) {
    _ns1__checkRepliesResponse response;
    if (b.recv_checkReplies(response) == SOAP_OK && response.result && response.result->replies)
      for (auto* r : response.result->replies->reply)
        (void)(r && r->origin && r->content ? r->origin->size() + r->content->size() : 0);
  });
  ReadAnswer(body, [](MessageMediaServiceBindingProxy& b) {
    _ns1__confirmRepliesResponse response;
    (void)b.recv_confirmReplies(response);
  });
  return 0;
}
