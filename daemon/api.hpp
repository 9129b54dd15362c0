// SPDX-License-Identifier: Apache-2.0
#pragma once
// The HTTP side of the daemon: the JSON API under /v1, the Kannel-compatible
// /cgi-bin/sendsms, the status page at / and /metrics, and /livez (204, no
// key, nothing told) for the daemon's own watchdog. Keys are checked from
// the request's head, before its body is read. Requests and their keys are
// never logged.

#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "daemon/daemon_config.hpp"
#include "daemon/dispatcher.hpp"
#include "daemon/http_server.hpp"
#include "daemon/message_queue.hpp"
#include "daemon/running_metrics.hpp"
#include "daemon/tenants.hpp"

namespace talvenix::daemon {

// The server's limits as talvenixd.ini sets them.
HttpLimits HttpLimitsOf(const DaemonConfig& config);

class Api {
 public:
  Api(std::shared_ptr<const DaemonConfig> config, MessageQueue& queue, Dispatcher& dispatcher, RunningMetrics& metrics);
  // Takes the keys, status access and webhook policy of a re-read file;
  // requests under way keep the settings they began with.
  void Reconfigure(std::shared_ptr<const DaemonConfig> config);
  // Binds the configured address; returns the port, or -1 with the reason.
  int Bind(std::string& error);
  // Serves until Stop.
  void Start();
  // Stops accepting; answers in progress finish.
  void Stop();

 private:
  // Routes, counting each answer by its route and status.
  HttpRoute Route(const HttpRequest& head);
  HttpRoute RouteOf(const HttpRequest& head);
  // Whose request it is: the settings it began with and its key's tenant.
  struct Caller {
    std::shared_ptr<const DaemonConfig> config;
    const Tenant* tenant;  // one of config's
  };
  std::optional<Caller> CallerOf(const std::string& key) const;
  // The caller, or the refusal when the request carries no API key.
  std::variant<Caller, HttpResponse> Authenticate(const HttpRequest& head) const;
  // The refusal for the status page and /metrics, which status keys open too
  // and a browser may ask for with its login dialogue.
  std::optional<HttpResponse> StatusRefusal(const HttpRequest& head) const;
  HttpResponse PostMessage(const HttpRequest& req, const Caller& caller);
  // GET /v1: the fields the running gateway carries out, the limits, and
  // the caller's tenant.
  nlohmann::json Describe(const Caller& caller);
  // Why a message is refused: the status, the field, the whole reason.
  struct Refused {
    int status;
    std::string field, text;
    int64_t retry_after_s = 0;  // > 0: a 429's Retry-After
  };
  static HttpResponse RefusalAnswer(const Refused& refused, bool kannel);
  // Checks the messages of one request and queues them for the caller's
  // tenant, all or none; `list`: they came as a list of recipients, named
  // by their place.
  std::variant<std::vector<std::string>, Refused> AcceptAll(std::vector<NewMessage>& messages, bool list,
                                                            const Caller& caller);
  // The refusal when the running gateway would drop part of `m`; sets its parts.
  std::optional<Refused> GatewayRefusal(NewMessage& m);
  HttpResponse Find(const std::string& id, const Caller& caller);
  HttpResponse Retry(const std::string& id, const Caller& caller);
  HttpResponse KannelSendSms(const HttpRequest& req);

  std::shared_ptr<const DaemonConfig> Config() const;

  mutable std::mutex config_mutex_;
  std::shared_ptr<const DaemonConfig> config_;
  MessageQueue& queue_;
  Dispatcher& dispatcher_;
  RunningMetrics& metrics_;
  TenantLimits limits_;
  HttpServer server_;
};

}  // namespace talvenix::daemon
