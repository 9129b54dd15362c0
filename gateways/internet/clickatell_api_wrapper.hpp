// SPDX-License-Identifier: Apache-2.0
#pragma once
// The Clickatell web API: builds the two kinds of request, sends them through
// the HTTP client with its proxy state, and reads the answers. One wrapper
// belongs to one running service; sends may run on several threads at once,
// each on an HTTP client of its own.

#include <string>
#include <string_view>

#include "contract/log_interface.hpp"
#include "gateways/internet/clickatell_answer.hpp"
#include "gateways/internet/http_client_pool.hpp"

namespace talvenix::internet {

// Everything but ASCII letters, digits and "-_.~" as %xx of its UTF-8 bytes
// (lower-case hex); a blank becomes "+".
std::string UrlEncode(std::u16string_view text);
std::string UrlEncode(std::string_view utf8);

// Where requests go: the part of each endpoint's URL before the "?".
struct ClickatellEndpoints {
  std::string central = "https://api.clickatell.com/http/sendmsg";
  std::string platform = "https://platform.clickatell.com/messages/http/send";
};

class ClickATellAPIWrapper {
 public:
  // `logger` is not owned and must outlive the wrapper.
  ClickATellAPIWrapper(ILogInterface* logger, ClickatellEndpoints endpoints, HttpLimits limits = {});
  virtual ~ClickATellAPIWrapper() = default;

  // Reads the configured proxy of the host settings file; false when it could
  // not be read (messages then go direct or through the system proxy).
  virtual bool LoadProxySettings();
  // Central/Connector when user and password are both set, else Platform/Touch.
  // 0 sent, -2 the request failed, -1 an unreadable answer, else the provider's error code.
  virtual int SendSMS(std::u16string_view api_id, std::u16string_view user, std::u16string_view password,
                      std::u16string_view text, std::string_view number, std::u16string_view sender);
  virtual int SendSMSByCentralConnector(std::u16string_view api_id, std::u16string_view user,
                                        std::u16string_view password, std::u16string_view text, std::string_view number,
                                        std::u16string_view sender);
  virtual int SendSMSByPlatformTouch(std::u16string_view api_key, std::u16string_view text, std::string_view number,
                                     std::u16string_view sender);

  // Where later messages go (the service reads them again on every reload).
  void SetEndpoints(ClickatellEndpoints endpoints);

 private:
  // Logs the request (credentials hidden), sends it and reads the answer with `parse`.
  int Send(const char* operation, const std::string& url, ClickatellAnswer (*parse)(std::string_view));

  ILogInterface* logger_;
  ClickatellEndpoints endpoints_;
  HttpClientPool http_;
};

}  // namespace talvenix::internet
