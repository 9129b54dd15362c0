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
  // True when `key` is one of `digests`' keys.
  static bool Authorised(const std::string& key, const std::vector<std::string>& digests);
  // The refusal unless the request carries an API key.
  std::optional<HttpResponse> Refusal(const HttpRequest& head) const;
  // The same for the status page and /metrics, which status keys open too
  // and a browser may ask for with its login dialogue.
  std::optional<HttpResponse> StatusRefusal(const HttpRequest& head) const;
  HttpResponse PostMessage(const HttpRequest& req);
  // GET /v1: the fields the running gateway carries out, and the limits.
  nlohmann::json Describe();
  // Why a message is refused: the status, the field, the whole reason.
  struct Refused {
    int status;
    std::string field, text;
  };
  // Checks the messages of one request and queues them, all or none;
  // `list`: they came as a list of recipients, named by their place.
  std::variant<std::vector<std::string>, Refused> AcceptAll(std::vector<NewMessage>& messages, bool list);
  // The refusal when the running gateway would drop part of `m`; sets its parts.
  std::optional<Refused> GatewayRefusal(NewMessage& m);
  HttpResponse Find(const std::string& id);
  HttpResponse Retry(const std::string& id);
  HttpResponse KannelSendSms(const HttpRequest& req);

  std::shared_ptr<const DaemonConfig> Config() const;

  mutable std::mutex config_mutex_;
  std::shared_ptr<const DaemonConfig> config_;
  MessageQueue& queue_;
  Dispatcher& dispatcher_;
  RunningMetrics& metrics_;
  HttpServer server_;
};

}  // namespace talvenix::daemon
