#pragma once
// The HTTP side of the daemon (cpp-httplib): the JSON API under /v1, the
// Kannel-compatible /cgi-bin/sendsms, the status page at / and /metrics,
// and /livez (204, no key, nothing told) for the daemon's own watchdog.
// Requests and their keys are never logged.

#include <httplib.h>

#include <memory>
#include <mutex>
#include <string>

#include "daemon/daemon_config.hpp"
#include "daemon/dispatcher.hpp"
#include "daemon/message_queue.hpp"

namespace talvenix::daemon {

// cpp-httplib's server with a listen queue fit for many clients: the
// library's own is 5 connections deep, so a burst of new clients overflows it
// and the kernel drops their connections for a second or more.
class ListeningServer : public httplib::Server {
 public:
  // After a bind; false when the queue could not be deepened.
  bool DeepenListenQueue();
};

class Api {
 public:
  Api(std::shared_ptr<const DaemonConfig> config, MessageQueue& queue, Dispatcher& dispatcher);
  // Takes the keys, status access and webhook policy of a re-read file;
  // requests under way keep the settings they began with.
  void Reconfigure(std::shared_ptr<const DaemonConfig> config);
  // Binds the configured address; returns the port, or -1.
  int Bind();
  // Serves until Stop.
  void Run();
  // Stops accepting; answers in progress finish.
  void Stop();

 private:
  // True when `key` is one of `digests`' keys.
  static bool Authorised(const std::string& key, const std::vector<std::string>& digests);
  // Answers 401 unless the request carries an API key.
  bool Refused(const httplib::Request& req, httplib::Response& res) const;
  // The same for the status page and /metrics, which status keys open too
  // and a browser may ask for with its login dialogue.
  bool StatusRefused(const httplib::Request& req, httplib::Response& res) const;
  void PostMessage(const httplib::Request& req, httplib::Response& res);
  void KannelSendSms(const httplib::Request& req, httplib::Response& res);

  std::shared_ptr<const DaemonConfig> Config() const;

  mutable std::mutex config_mutex_;
  std::shared_ptr<const DaemonConfig> config_;
  MessageQueue& queue_;
  Dispatcher& dispatcher_;
  ListeningServer server_;
};

}  // namespace talvenix::daemon
