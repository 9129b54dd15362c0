// SPDX-License-Identifier: Apache-2.0
#include "gateways/internet/clickatell_api_wrapper.hpp"

#include "support/peer_text.hpp"
#include "support/text_codec.hpp"

namespace talvenix::internet {
namespace {

// Logs the outcome of an answer under the operation's name and gives the result.
int Report(ILogInterface* logger, const char* operation, const ClickatellAnswer& answer) {
  switch (answer.kind) {
    case ClickatellAnswer::kSent:
      logger->Info("ClickATellAPIWrapper::%s - Message sent successfully..Message ID [%s]", operation,
                   PeerText(answer.message_id).c_str());
      break;
    case ClickatellAnswer::kError:
      logger->Error("ClickATellAPIWrapper::%s - Message sending request Failed..Error Code [%d]", operation,
                    answer.error_code);
      break;
    case ClickatellAnswer::kMalformedError:
      logger->Error("ClickATellAPIWrapper::%s - Malformed error code syntax", operation);
      break;
    case ClickatellAnswer::kUnknown:
      logger->Error("ClickATellAPIWrapper::%s - Unknown response", operation);
      break;
  }
  return answer.result();
}

}  // namespace

std::string UrlEncode(std::u16string_view text) { return UrlEncode(std::string_view(Utf16ToUtf8(text))); }

std::string UrlEncode(std::string_view utf8) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(utf8.size() * 3);
  for (unsigned char c : utf8) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

ClickATellAPIWrapper::ClickATellAPIWrapper(ILogInterface* logger, ClickatellEndpoints endpoints, HttpLimits limits)
    : logger_(logger), endpoints_(std::move(endpoints)), http_(logger, limits) {}

bool ClickATellAPIWrapper::LoadProxySettings() { return http_.LoadProxySettings(); }

int ClickATellAPIWrapper::SendSMS(std::u16string_view api_id, std::u16string_view user, std::u16string_view password,
                                  std::u16string_view text, std::string_view number, std::u16string_view sender) {
  if (!user.empty() && !password.empty()) {
    logger_->Error("Choosing Central/Connector");
    return SendSMSByCentralConnector(api_id, user, password, text, number, sender);
  }
  logger_->Error("Choosing Platform/Touch");
  return SendSMSByPlatformTouch(api_id, text, number, sender);
}

int ClickATellAPIWrapper::SendSMSByCentralConnector(std::u16string_view api_id, std::u16string_view user,
                                                    std::u16string_view password, std::u16string_view text,
                                                    std::string_view number, std::u16string_view sender) {
  // Every value is encoded, so "&", "#", "+" and blanks cannot split the query.
  std::string url = endpoints_.central + "?api_id=" + UrlEncode(api_id) + "&mo=1&user=" + UrlEncode(user) +
                    "&password=" + UrlEncode(password);
  if (!sender.empty()) url += "&from=" + UrlEncode(sender);
  url += "&to=" + UrlEncode(number) + "&text=" + UrlEncode(text);
  return Send("SendSMSByCentralConnector", url, &ParseCentralAnswer);
}

int ClickATellAPIWrapper::SendSMSByPlatformTouch(std::u16string_view api_key, std::u16string_view text,
                                                 std::string_view number, std::u16string_view sender) {
  std::string url = endpoints_.platform + "?apiKey=" + UrlEncode(api_key);
  if (!sender.empty()) url += "&from=" + UrlEncode(sender);
  url += "&to=" + UrlEncode(number) + "&content=" + UrlEncode(text);
  return Send("SendSMSByPlatformTouch", url, &ParsePlatformAnswer);
}

int ClickATellAPIWrapper::Send(const char* operation, const std::string& url,
                               ClickatellAnswer (*parse)(std::string_view)) {
  logger_->Info("ClickATellAPIWrapper::%s - Request [%s]", operation, MaskCredentials(url).c_str());
  std::string response;
  TransportOutcome outcome;
  if (!http_.Take()->SendRequest(url, response, &outcome)) {
    logger_->Error("ClickATellAPIWrapper::%s - HTTP Request Failed ", operation);
    if (outcome == TransportOutcome::kMaybeTaken)
      logger_->Error(
          "ClickATellAPIWrapper::%s - the request was sent but no answer came back, so Clickatell may have taken it.",
          operation);
    return -2;
  }
  logger_->Info("ClickATellAPIWrapper::%s - Result [%s]", operation, PeerText(response).c_str());
  return Report(logger_, operation, parse(response));
}

void ClickATellAPIWrapper::SetEndpoints(ClickatellEndpoints endpoints) { endpoints_ = std::move(endpoints); }

}  // namespace talvenix::internet
