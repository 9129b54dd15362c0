// SPDX-License-Identifier: Apache-2.0
#pragma once
// HTTP clients for a gateway whose sends may run on several threads at once:
// each send takes a client no other thread uses (an idle one, with its kept
// connections, or a new one) and gives it back when it is done. One thread
// alone always takes the same client, as if there were no pool.

#include <memory>
#include <mutex>
#include <vector>

#include "gateways/internet/http_client.hpp"

namespace talvenix::internet {

class HttpClientPool {
 public:
  HttpClientPool(ILogInterface* logger, HttpLimits limits);

  // Reads the configured proxy into every client; clients made later read it too.
  bool LoadProxySettings();

  class Lease {
   public:
    Lease(HttpClientPool& pool, std::unique_ptr<HttpClient> client) : pool_(pool), client_(std::move(client)) {}
    ~Lease() { pool_.GiveBack(std::move(client_)); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    HttpClient* operator->() const { return client_.get(); }

   private:
    HttpClientPool& pool_;
    std::unique_ptr<HttpClient> client_;
  };
  Lease Take();

 private:
  void GiveBack(std::unique_ptr<HttpClient> client);

  ILogInterface* logger_;
  HttpLimits limits_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<HttpClient>> idle_;
  bool proxy_loaded_ = false;  // LoadProxySettings was called: new clients read the proxy too
};

}  // namespace talvenix::internet
