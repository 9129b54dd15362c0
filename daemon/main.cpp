// SPDX-License-Identifier: Apache-2.0
// talvenixd: the module as a service. A host like any other: it loads the
// module at run time and calls only its exports, from one thread.

#include <curl/curl.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "daemon/api.hpp"
#include "daemon/crypto.hpp"
#include "daemon/daemon_config.hpp"
#include "daemon/dispatcher.hpp"
#include "daemon/queue_postgresql.hpp"
#include "daemon/queue_sqlite.hpp"
#include "daemon/retention.hpp"
#include "daemon/webhooks.hpp"
#include "hostkit/module.hpp"
#include "hostkit/status_names.hpp"

using namespace talvenix;
using namespace talvenix::daemon;

namespace {

constexpr const char* kDefaultConfig = "/etc/talvenix/talvenixd.ini";

void PrintHelp() {
  std::printf(
      "usage: talvenixd [--config FILE]   run the daemon (default %s)\n"
      "       talvenixd --hash-key         read an API key from standard input and print\n"
      "                                    the digest to put in [api] key_sha256\n",
      kDefaultConfig);
}

std::string StatusLine(MessageQueue& queue) {
  QueueStats stats;
  try {
    stats = queue.Stats();
  } catch (const std::exception& e) {
    return std::string("the queue is not available: ") + e.what();
  }
  auto count = [&](const char* state) {
    auto it = stats.messages_per_state.find(state);
    return it == stats.messages_per_state.end() ? 0 : it->second;
  };
  return "queued " + std::to_string(count("queued")) + ", pending " + std::to_string(count("pending")) +
         ", webhook backlog " + std::to_string(stats.webhook_backlog);
}

WebhookSettings WebhookSettingsOf(const DaemonConfig& c) {
  return {c.webhook_secret, c.webhook_policy, c.webhook_timeout_s, c.webhook_per_receiver, c.webhook_connections};
}

// SIGHUP: the module re-reads qvsmscomms.xml, the daemon its own file. Keys,
// status access, webhook settings, the throttle and the sends in parallel change at once; what
// needs a restart is said to, and a file that no longer reads is refused
// whole, keeping the running settings.
void Reload(const std::string& config_path, std::shared_ptr<const DaemonConfig>& running, Dispatcher& dispatcher,
            Api& api, WebhookSender& webhooks, MessageQueue& queue) {
  int32_t rc = dispatcher.Reload();
  std::fprintf(stderr, "talvenixd: qvsmscomms.xml re-read: %s\n", host::Describe(rc).c_str());
  auto fresh = std::make_shared<DaemonConfig>();
  std::string error;
  if (!LoadDaemonConfig(config_path, *fresh, error)) {
    std::fprintf(stderr, "talvenixd: %s; the running settings stay\n", error.c_str());
    return;
  }
  const DaemonConfig& old = *running;
  for (auto [changed, name] :
       {std::pair{fresh->module != old.module, "[daemon] module"},
        {fresh->module_config_dir != old.module_config_dir, "[daemon] module_config"},
        {fresh->database != old.database, "[daemon] database"},
        {fresh->postgresql != old.postgresql || fresh->postgresql_connection != old.postgresql_connection ||
             fresh->fleet_name != old.fleet_name || fresh->group != old.group || fresh->lease_s != old.lease_s,
         "[queue] backend, postgresql, name, group and lease_seconds"},
        {fresh->listen_host != old.listen_host || fresh->listen_port != old.listen_port, "[daemon] listen"},
        {fresh->keep_days != old.keep_days, "[queue] keep_days"},
        {fresh->request_timeout_s != old.request_timeout_s || fresh->idle_timeout_s != old.idle_timeout_s ||
             fresh->connections != old.connections || fresh->connections_per_address != old.connections_per_address,
         "[api] time-outs and connections"}})
    if (changed) std::fprintf(stderr, "talvenixd: %s changed: it takes effect at the next start\n", name);
  api.Reconfigure(fresh);
  webhooks.Reconfigure(WebhookSettingsOf(*fresh));
  if (fresh->webhook_url != old.webhook_url) queue.SetDefaultWebhookUrl(fresh->webhook_url);
  if (fresh->messages_per_second != old.messages_per_second) dispatcher.SetRate(fresh->messages_per_second);
  if (fresh->parallel != old.parallel) dispatcher.SetParallel(fresh->parallel);
  running = fresh;
  std::fprintf(stderr, "talvenixd: %s re-read: keys, status access, webhooks, throttle and parallel sends as it says\n",
               config_path.c_str());
}

// The API answers on its own port, and the dispatcher comes round: only
// then is systemd's watchdog fed, so a daemon that hangs is restarted.
bool Answering(const DaemonConfig& config, int port, Dispatcher& dispatcher) {
  if (!dispatcher.Answering(std::chrono::minutes(2))) return false;
  std::string host = config.listen_host;
  if (host == "0.0.0.0" || host.empty()) host = "127.0.0.1";
  if (host == "::") host = "::1";
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  const std::string url = "http://" + host + ":" + std::to_string(port) + "/livez";
  CURL* self = curl_easy_init();
  if (!self) return false;
  curl_easy_setopt(self, CURLOPT_URL, url.c_str());
  curl_easy_setopt(self, CURLOPT_PROXY, "");
  curl_easy_setopt(self, CURLOPT_TIMEOUT, 5L);
  curl_easy_setopt(self, CURLOPT_NOSIGNAL, 1L);
  long status = 0;
  if (curl_easy_perform(self) == CURLE_OK) curl_easy_getinfo(self, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(self);
  return status == 204;
}

int Run(const std::string& config_path) {
  auto loaded = std::make_shared<DaemonConfig>();
  std::string error;
  if (!LoadDaemonConfig(config_path, *loaded, error)) {
    std::fprintf(stderr, "talvenixd: %s\n", error.c_str());
    return 2;
  }
  std::shared_ptr<const DaemonConfig> running = loaded;
  const DaemonConfig& config = *loaded;  // the settings of the start
  // Signals are taken by the main thread only: block them before any thread starts.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // Everything the configuration names is checked before the queue's file
  // is made, so a mistake leaves nothing behind.
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(config.module_config_dir, ec)) {
    std::fprintf(stderr, "talvenixd: [daemon] module_config: the folder %s does not exist\n",
                 config.module_config_dir.c_str());
    return 1;
  }
  if (!fs::exists(fs::path(config.module_config_dir) / "qvsmscomms.xml", ec)) {
    std::fprintf(stderr, "talvenixd: [daemon] module_config: %s holds no qvsmscomms.xml\n",
                 config.module_config_dir.c_str());
    return 1;
  }
  const fs::path queue_folder = fs::path(config.database).parent_path();
  if (!config.postgresql && !fs::is_directory(queue_folder, ec)) {
    std::fprintf(stderr, "talvenixd: [daemon] database: the folder %s does not exist\n", queue_folder.c_str());
    return 1;
  }
  host::Module module{};
  std::string module_path = config.module.empty() ? host::ModulePath() : config.module;
  try {
    module = host::Module::Load(module_path.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "talvenixd: cannot load the module %s: %s\n", module_path.c_str(), e.what());
    return 1;
  }
  // The module reads qvsmscomms.xml and writes Talvenix.log in the working folder.
  fs::current_path(config.module_config_dir, ec);
  if (ec) {
    std::fprintf(stderr, "talvenixd: cannot enter %s: %s\n", config.module_config_dir.c_str(), ec.message().c_str());
    return 1;
  }

  std::unique_ptr<MessageQueue> queue;
  PostgresqlQueue* shared_queue = nullptr;
  try {
    if (config.postgresql) {
      auto shared = std::make_unique<PostgresqlQueue>(
          PostgresqlSettings{config.postgresql_connection, config.fleet_name, config.group, "", config.lease_s},
          config.webhook_url);
      shared_queue = shared.get();
      queue = std::move(shared);
    } else {
      queue = std::make_unique<SqliteQueue>(config.database, config.webhook_url);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "talvenixd: cannot open the queue: %s\n", e.what());
    return 1;
  }
  if (int unknown = queue->MarkUnknown())
    std::fprintf(stderr,
                 "talvenixd: %d message(s) were handed to the module before the last stop without an "
                 "outcome; they are now unknown and are not sent again unless retried\n",
                 unknown);

  RunningMetrics metrics;
  Dispatcher dispatcher(module, *queue, config.messages_per_second, config.parallel, metrics);
  int32_t code = 0;
  if (!dispatcher.Start(code)) {
    std::fprintf(stderr, "talvenixd: the engine did not start: %s; see Talvenix.log in %s\n",
                 host::Describe(code).c_str(), config.module_config_dir.c_str());
    return 1;
  }
  if (shared_queue) shared_queue->SetGateway(dispatcher.Gateway());
  WebhookSender webhooks(*queue, WebhookSettingsOf(config), metrics);
  webhooks.Start();
  Retention retention(*queue, config.keep_days);
  retention.Start();
  Api api(running, *queue, dispatcher, metrics);
  int port = api.Bind(error);
  if (port <= 0) {
    std::fprintf(stderr, "talvenixd: cannot listen on %s:%d: %s\n", config.listen_host.c_str(), config.listen_port,
                 error.c_str());
    return 1;
  }
  api.Start();
  const bool ipv6 = config.listen_host.find(':') != std::string::npos;
  const std::string address = (ipv6 ? "[" + config.listen_host + "]" : config.listen_host) + ":" + std::to_string(port);
  std::printf("talvenixd: listening on http://%s\n", address.c_str());
  std::fflush(stdout);
  sd_notifyf(0, "READY=1\nSTATUS=listening on %s; %s", address.c_str(), StatusLine(*queue).c_str());

  uint64_t watchdog_usec = 0;
  bool watchdog = sd_watchdog_enabled(0, &watchdog_usec) > 0;
  timespec tick{1, 0};
  if (watchdog && watchdog_usec < 2000000) tick = {0, static_cast<long>(watchdog_usec / 2 * 1000)};
  bool answering = true;
  while (true) {
    int s = sigtimedwait(&signals, nullptr, &tick);
    if (s == SIGTERM || s == SIGINT) break;
    if (s == SIGHUP) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%lld\nSTATUS=reloading",
                 static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
      Reload(config_path, running, dispatcher, api, webhooks, *queue);
      sd_notify(0, "READY=1");
    }
    if (watchdog) {
      const bool now_answering = Answering(config, port, dispatcher);
      if (now_answering != answering)
        std::fprintf(stderr, now_answering ? "talvenixd: answering again: the watchdog is fed again\n"
                                           : "talvenixd: the API or the dispatcher does not answer: the watchdog "
                                             "is not fed, so systemd restarts the daemon if it lasts\n");
      answering = now_answering;
      if (answering) sd_notify(0, "WATCHDOG=1");
    }
    sd_notifyf(0, "STATUS=listening on %s; %s%s", address.c_str(), StatusLine(*queue).c_str(),
               dispatcher.EngineRunning() ? "" : "; engine stopped");
  }

  // Stop taking messages, finish the one in the module, stop the engine.
  sd_notify(0, "STOPPING=1\nSTATUS=stopping");
  api.Stop();
  dispatcher.Stop();
  retention.Stop();
  try {
    queue->Flush();
  } catch (const std::exception& e) {
    // What it could not write, the next start finds unsettled and sorts out.
    std::fprintf(stderr, "talvenixd: the queue failed at the stop: %s\n", e.what());
  }
  webhooks.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string config_path = kDefaultConfig;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      PrintHelp();
      return 0;
    }
    if (a == "--hash-key") {
      std::string key;
      std::getline(std::cin, key);
      if (key.empty()) {
        std::fprintf(stderr, "talvenixd --hash-key: give the key on standard input\n");
        return 2;
      }
      std::printf("%s\n", Sha256Hex(key).c_str());
      return 0;
    }
    if (a == "--config" && i + 1 < argc) {
      config_path = argv[++i];
      continue;
    }
    std::fprintf(stderr, "talvenixd: unknown argument %s (see talvenixd --help)\n", a.c_str());
    return 2;
  }
  return Run(config_path);
}
