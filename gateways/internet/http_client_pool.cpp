// SPDX-License-Identifier: Apache-2.0
#include "gateways/internet/http_client_pool.hpp"

namespace talvenix::internet {

HttpClientPool::HttpClientPool(ILogInterface* logger, HttpLimits limits) : logger_(logger), limits_(limits) {
  idle_.push_back(std::make_unique<HttpClient>(logger_, limits_));
}

bool HttpClientPool::LoadProxySettings() {
  std::lock_guard lock(mutex_);
  proxy_loaded_ = true;
  bool loaded = true;
  for (auto& client : idle_) loaded &= client->LoadProxySettings();
  return loaded;
}

HttpClientPool::Lease HttpClientPool::Take() {
  std::unique_ptr<HttpClient> client;
  bool load_proxy = false;
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      client = std::move(idle_.back());
      idle_.pop_back();
    }
    load_proxy = proxy_loaded_;
  }
  if (!client) {
    client = std::make_unique<HttpClient>(logger_, limits_);
    if (load_proxy) client->LoadProxySettings();
  }
  return Lease(*this, std::move(client));
}

void HttpClientPool::GiveBack(std::unique_ptr<HttpClient> client) {
  std::lock_guard lock(mutex_);
  idle_.push_back(std::move(client));
}

}  // namespace talvenix::internet
