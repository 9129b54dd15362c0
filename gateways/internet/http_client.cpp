// SPDX-License-Identifier: Apache-2.0
// What every platform's HTTP client shares: the proxy choice, the log lines
// of SendRequest and the masking of credentials in logged URLs.

#include "gateways/internet/http_client.hpp"

#include <algorithm>
#include <cctype>

#include "support/overrides.hpp"

namespace talvenix::internet {
namespace {

bool IsCredentialKey(std::string_view key) {
  static constexpr std::string_view kKeys[] = {"password", "passwd", "pwd", "apikey", "api_key", "token", "secret"};
  return std::any_of(std::begin(kKeys), std::end(kKeys), [key](std::string_view k) {
    return key.size() == k.size() && std::equal(key.begin(), key.end(), k.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) == b;
           });
  });
}

constexpr std::string_view kHidden = "****";

}  // namespace

std::string MaskCredentials(std::string_view url) {
  std::string out(url);
  // user:password@ in the authority.
  if (size_t scheme = out.find("://"); scheme != std::string::npos) {
    size_t start = scheme + 3;
    size_t end = std::min(out.find_first_of("/?#", start), out.size());
    size_t at = out.rfind('@', end);
    if (at != std::string::npos && at >= start && at < end) {
      size_t colon = out.find(':', start);
      if (colon < at) out.replace(colon + 1, at - colon - 1, kHidden);
    }
  }
  size_t query = out.find('?');
  if (query == std::string::npos) return out;
  for (size_t pos = query + 1; pos < out.size();) {
    size_t end = std::min(out.find('&', pos), out.size());
    size_t eq = out.find('=', pos);
    if (eq < end && IsCredentialKey(std::string_view(out).substr(pos, eq - pos))) {
      out.replace(eq + 1, end - eq - 1, kHidden);
      end = eq + 1 + kHidden.size();
    }
    pos = end + 1;
  }
  return out;
}

bool HttpClient::LoadProxySettings(const std::string& path) {
  settings_path_ = path.empty() ? HostSettingsPath() : path;
  return internet::LoadProxySettings(proxy_, logger_, settings_path_);
}

bool HttpClient::LoadSystemProxySettings(std::string_view url) {
  return internet::LoadSystemProxySettings(proxy_, url);
}

const ProxyState* HttpClient::ProxyFor(const HttpRequest& request, ProxyState& system) {
  if (request.proxy == ProxyUse::kSystemWithoutCredentials) {
    if (!internet::LoadSystemProxySettings(system, request.url)) {
      system.mode = 0;
      logger_->Error("LoadProxySettings failed retrieving system proxy settings");
    }
    return &system;
  }
  if (!proxy_.unusable.empty() && !LoadProxySettings(settings_path_)) {
    // The host may have configured a proxy we cannot read: going direct or
    // through the system proxy could send around it. Read again each time,
    // so a repaired file takes effect with the next message.
    logger_->Error("HttpClient - not sent: the proxy settings cannot be read (%s)", proxy_.unusable.c_str());
    return nullptr;
  }
  if (!proxy_.configured) {
    // The system configuration may change between messages: read it for each one.
    proxy_.user_name.clear();
    if (!internet::LoadSystemProxySettings(proxy_, request.url)) {
      proxy_.mode = 0;
      logger_->Error(" failed retrieving system proxy settings");
    }
  }
  return &proxy_;
}

void HttpClient::LogTruncated(const std::string& url) const {
  auto limit = static_cast<unsigned long>(limits_.max_body_bytes);
  logger_->Warn("HttpClient - response from '%s' is longer than %lu bytes: only the first %lu bytes were kept",
                MaskCredentials(url).c_str(), limit, limit);
}

bool HttpClient::SendRequest(const std::string& url, std::string& response, TransportOutcome* outcome) {
  response.clear();
  TransportOutcome ignored;
  if (!outcome) outcome = &ignored;
  *outcome = TransportOutcome::kNotSent;
  const std::string shown = MaskCredentials(url);
  UrlParts parts = CrackUrl(url);
  if (parts.code != 0) {
    logger_->Error("Error %u in WinHttpCrackUrl, URL:'%s'", static_cast<unsigned>(parts.code), shown.c_str());
    return false;
  }
  HttpRequest request;
  request.url = url;
  HttpResult result = Get(request);
  *outcome = result.outcome();
  auto code = static_cast<unsigned>(result.code);
  if (result.failure == HttpFailure::kSetUp) {
    logger_->Error("WinHttpOpen failed Error %u", code);
    return false;
  }
  bool status_ok = result.status >= 200 && result.status <= 299;
  if (!result.ok()) {
    if (result.proxy_status >= 300) {
      // The proxy refused the tunnel (407: the credentials).
      logger_->Error("Status code error, value: %ld", result.proxy_status);
      logger_->Error("ReceiveResponse failed, Error %u", code);
    } else if (status_ok) {
      // The answer began and then broke off: what arrived is the response.
      logger_->Error("Error %u in WinHttpReadData.\n", code);
    } else if (result.headers_received()) {
      logger_->Error("Status code error, value: %ld", result.status);
      logger_->Error("ReceiveResponse failed, Error %u", code);
    } else if (result.failure == HttpFailure::kConnect) {
      logger_->Error("WinHttpConnect to '%s' on port: %d Failed, Error: %u", parts.host.c_str(),
                     static_cast<int>(parts.port), code);
    } else if (result.failure == HttpFailure::kSend) {
      logger_->Error("WinHttpSendRequest failed, Error %u", code);
    } else {
      logger_->Error("WinHttpReceiveResponse failed, Error %u", code);
      logger_->Error("ReceiveResponse failed, Error %u", code);
    }
    logger_->Error("HttpClient - request to '%s' failed: %s", shown.c_str(), result.error_text.c_str());
    if (!status_ok) return false;
  } else if (!status_ok) {
    logger_->Error("Status code error, value: %ld", result.status);
    logger_->Error("ReceiveResponse failed, Error %u", 0u);
    return false;
  } else {
    logger_->Info("Succesfully connected to ...Status Code 200");
  }
  response = std::move(result.body);
  return true;
}

}  // namespace talvenix::internet
