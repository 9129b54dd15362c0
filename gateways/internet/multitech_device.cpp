// SPDX-License-Identifier: Apache-2.0
#include "gateways/internet/multitech_device.hpp"

#include "contract/log_interface.hpp"
#include "gateways/internet/http_client.hpp"
#include "support/peer_text.hpp"
#include "support/text_codec.hpp"

namespace talvenix::multitech {
namespace {

constexpr char16_t kVerb[] = u"GET";

// A host name, an IPv4 address or an IPv6 address (with or without brackets):
// nothing that could change the URL's path, user or port.
bool PlainHost(std::string_view host) {
  if (host.empty()) return false;
  for (unsigned char c : host) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
              c == '_' || c == ':' || c == '[' || c == ']' || c == '%';
    if (!ok) return false;
  }
  return true;
}

std::string UrlOf(const std::string& host, uint16_t port, const std::string& path) {
  bool ipv6 = host.find(':') != std::string::npos && host.front() != '[';
  return "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + path;
}

}  // namespace

struct DeviceConnection::State {
  explicit State(ILogInterface* logger) : client(logger) {}
  internet::HttpClient client;
};

DeviceConnection::DeviceConnection(ILogInterface* logger) : logger_(logger), state_(std::make_unique<State>(logger)) {}

DeviceConnection::~DeviceConnection() = default;

void DeviceConnection::Abort() { state_->client.Abort(); }
void DeviceConnection::Resume() { state_->client.Resume(); }

TransportOutcome DeviceConnection::send_request(std::string& response, const std::string& path,
                                                std::u16string_view host, uint16_t port, bool query) {
  std::lock_guard lock(mutex_);
  response.clear();
  std::string host8 = Utf16ToUtf8(host);
  if (!PlainHost(host8)) {
    logger_->ErrorW(u"WinHttpConnect failed on 88%s request, error: %u (%S)", kVerb,
                    static_cast<unsigned>(internet::HttpClient::kBadUrlCode),
                    "the device address is not a host name or address");
    return TransportOutcome::kNotSent;
  }
  internet::HttpRequest request;
  request.url = UrlOf(host8, port, path);
  request.user_agent = "Vantrel Orlinda Multi-tech ISMS";
  request.headers.clear();  // a device request carries no extra headers
  // The system proxy is read afresh for this request; credentials are never sent.
  request.proxy = internet::ProxyUse::kSystemWithoutCredentials;
  request.idempotent = query;
  internet::HttpResult result = state_->client.Get(request);
  // The status is not examined: an error page is an answer the parsers judge.
  response = result.body.substr(0, result.body.find('\0'));
  const TransportOutcome outcome = result.outcome();
  if (outcome == TransportOutcome::kCut) return outcome;
  if (outcome != TransportOutcome::kAnswered) {
    unsigned code = static_cast<unsigned>(result.code);
    const char* text = result.error_text.c_str();
    switch (result.failure) {
      case internet::HttpFailure::kBadUrl:
        logger_->ErrorW(u"HTTPOpenRequest failed on 88%s request, error: %u (%S)", kVerb, code, text);
        break;
      case internet::HttpFailure::kConnect:
        logger_->ErrorW(u"WinHttpConnect failed on 88%s request, error: %u (%S)", kVerb, code, text);
        break;
      case internet::HttpFailure::kSend:
        logger_->Error("GET WinHttpSendRequest failed, error %u (%s)", code, text);
        break;
      default:
        if (result.headers_received())
          logger_->Error("WinHttpQueryDataAvailable failed, error %u (%s)", code, text);
        else
          logger_->Error("WinHttpReceiveResponse failed, error %u (%s)", code, text);
        break;
    }
  }
  if (logger_->Records(Severity::Information)) logger_->Info("send_request: response [%s]", PeerText(response).c_str());
  return outcome;
}

}  // namespace talvenix::multitech
