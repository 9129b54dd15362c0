// SPDX-License-Identifier: Apache-2.0
#pragma once
// The daemon's own settings: a small INI file (talvenixd.ini). API keys are
// kept as SHA-256 digests, so the file never holds a usable key.

#include <string>
#include <vector>

#include "daemon/address_policy.hpp"
#include "daemon/tenants.hpp"

namespace talvenix::daemon {

struct DaemonConfig {
  std::string module;             // path of the module; empty: beside the program
  std::string module_config_dir;  // folder with qvsmscomms.xml; the daemon works there
  std::string database;           // the queue's SQLite file
  // A queue that several daemons share instead: a PostgreSQL server.
  bool postgresql = false;            // [queue] backend = postgresql
  std::string postgresql_connection;  // libpq connection string or URI
  std::string fleet_name;             // this daemon among those sharing it; the host name by default
  std::string group;                  // it sends the messages of this group, and those of none
  int lease_s = 60;                   // a daemon not seen this long is gone: the others settle its claims
  std::string listen_host = "127.0.0.1";
  int listen_port = 8080;  // 0: any free port (printed at start)
  // The API keys in their groups: the first is "default", the keys of [api].
  std::vector<Tenant> tenants = {{kDefaultTenant, {}, 0, 0}};
  int request_timeout_s = 20;         // a request's head and body, from its first byte
  int idle_timeout_s = 60;            // a kept connection without a request
  int connections = 10000;            // client connections at once, in all
  int connections_per_address = 256;  // client connections at once from one address
  int max_recipients = 100;           // recipients of one request, each a message of its own
  // The status page and /metrics: a key of the default tenant or one of
  // these read-only keys opens them, unless they are open to anyone who
  // reaches the port. Other tenants' keys do not: the pages show every tenant.
  std::vector<std::string> status_key_digests;
  bool status_open = false;
  std::string webhook_url;         // default receiver of events
  std::string webhook_secret;      // HMAC-SHA256 key of the signature
  AddressPolicy webhook_policy;    // which addresses receivers may have
  int webhook_timeout_s = 10;      // one attempt, the connection included
  int webhook_per_receiver = 4;    // deliveries at once to one receiver (scheme, host and port)
  int webhook_connections = 64;    // deliveries at once in all
  double messages_per_second = 0;  // 0: no throttle
  int parallel = 1;                // sends in flight at once, where the gateway takes several
  int keep_days = 30;              // settled messages and webhook events older are deleted; 0: kept for ever
};

// Reads `path`; relative paths inside it are taken from the file's folder.
// On failure returns false and says why in `error`.
bool LoadDaemonConfig(const std::string& path, DaemonConfig& config, std::string& error);

}  // namespace talvenix::daemon
