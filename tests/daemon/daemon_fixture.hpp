// SPDX-License-Identifier: Apache-2.0
#pragma once
// talvenixd as the tests run it: a real child process of this build with its
// own folder (talvenixd.ini, the queue, qvsmscomms.xml, its standard error in
// daemon.err), a webhook receiver that checks signatures, and an API client.

#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/free_port.hpp"
#include "common/temp_folder.hpp"
#include "daemon/crypto.hpp"
#include "daemon/webhooks.hpp"

extern char** environ;

namespace talvenix::testing {

using nlohmann::json;

constexpr const char* kApiKey = "k3y-that-must-never-be-logged";

// Polls `done` every 20 ms until it holds or `limit` passed.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Records what the daemon delivers: signed POSTs (JSON events) and GETs
// (Kannel delivery reports). Answers 500 to the first `failures` POSTs.
class WebhookReceiver {
 public:
  explicit WebhookReceiver(std::string secret) : secret_(std::move(secret)) {
    server_.set_tcp_nodelay(true);
    server_.set_keep_alive_timeout(1);
    server_.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
      std::string timestamp = req.get_header_value(daemon::kTimestampHeader);
      bool signed_well = daemon::SameText(req.get_header_value(daemon::kSignatureHeader),
                                          "sha256=" + daemon::HmacSha256Hex(secret_, timestamp + "." + req.body));
      std::lock_guard lock(mutex_);
      if (!signed_well) {
        ++bad_signatures_;
        res.status = 401;
        return;
      }
      if (failures_ > 0) {
        --failures_;
        res.status = 500;
        return;
      }
      json event = json::parse(req.body);
      event["event_id"] = req.get_header_value(daemon::kEventIdHeader);
      event["path"] = req.path;
      events_.push_back(std::move(event));
    });
    server_.Get(".*", [this](const httplib::Request& req, httplib::Response&) {
      std::lock_guard lock(mutex_);
      gets_.push_back(req.target);
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    WaitUntil([this] { return server_.is_running(); });
  }
  ~WebhookReceiver() {
    server_.stop();
    thread_.join();
  }
  std::string url(const std::string& path = "/hook") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  void FailNext(int count) {
    std::lock_guard lock(mutex_);
    failures_ = count;
  }
  std::vector<json> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<json> events(const std::string& type) {
    std::vector<json> out;
    for (json& e : events())
      if (e["type"] == type) out.push_back(e);
    return out;
  }
  // Waits up to a minute for an outcome event of every message in
  // `accepted` (id -> text); returns the ids that got none. Counting events
  // is not enough: a kill between commit and 202 leaves messages the
  // clients never heard of, and they report too.
  std::vector<std::string> WithoutOutcome(const std::map<std::string, std::string>& accepted) {
    std::set<std::string> reported;
    std::vector<std::string> missing;
    WaitUntil(
        [&] {
          for (const json& e : events("message.outcome")) reported.insert(e["message_id"]);
          missing.clear();
          for (const auto& [id, text] : accepted)
            if (!reported.count(id)) missing.push_back(id);
          return missing.empty();
        },
        std::chrono::seconds(60));
    return missing;
  }
  std::vector<std::string> gets() {
    std::lock_guard lock(mutex_);
    return gets_;
  }
  int bad_signatures() {
    std::lock_guard lock(mutex_);
    return bad_signatures_;
  }

 private:
  std::string secret_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<json> events_;
  std::vector<std::string> gets_;
  int bad_signatures_ = 0;
  int failures_ = 0;
};

struct DaemonSettings {
  std::string module_config;  // qvsmscomms.xml
  std::string webhook_url;
  std::string webhook_secret = "hook-secret";
  std::string webhook_allow = "127.0.0.0/8";  // the test receivers are on loopback
  double messages_per_second = 0;
  std::string more_ini = "";  // further sections of talvenixd.ini
  std::string database = "queue.db";
  std::vector<std::string> launcher = {};      // runs the daemon: its program and arguments, then the daemon's
  std::string program = TALVENIX_DAEMON_PATH;  // another build's, to measure it side by side with this one
};

// A /proc stat file's command name and its user and system CPU seconds.
inline std::pair<std::string, double> StatCpuSeconds(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return {};
  std::istringstream fields(stat.substr(close + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  double user = 0, system = 0;
  fields >> user >> system;
  return {stat.substr(open + 1, close - open - 1), (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK))};
}

class DaemonProcess {
 public:
  explicit DaemonProcess(const DaemonSettings& s)
      : launcher_(s.launcher), program_(s.program), port_(FreeLoopbackPort()) {
    folder_.Write("qvsmscomms.xml", s.module_config);
    folder_.Write(
        "talvenixd.ini",
        "[daemon]\nlisten = 127.0.0.1:" + std::to_string(port_) + "\ndatabase = " + s.database +
            "\nmodule = " TALVENIX_MODULE_PATH "\n[api]\nkey_sha256 = " + daemon::Sha256Hex(kApiKey) +
            "\n[webhook]\nurl = " + s.webhook_url + "\nsecret = " + s.webhook_secret + "\nallow = " + s.webhook_allow +
            "\n[throttle]\nmessages_per_second = " + std::to_string(s.messages_per_second) + "\n" + s.more_ini);
  }
  ~DaemonProcess() { Kill(); }

  // Starts the daemon and waits until it answers; false when it does not.
  bool Start() {
    std::string program = program_, config = folder_.File("talvenixd.ini");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, folder_.File("daemon.err").c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    std::vector<std::string> words = launcher_;
    words.insert(words.end(), {program, "--config", config});
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    // A daemon that refuses to start ends by itself: no need to wait then.
    return WaitUntil([this] {
             if (waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
             httplib::Client c("127.0.0.1", port_);
             return pid_ <= 0 || static_cast<bool>(c.Get("/metrics"));
           }) &&
           pid_ > 0;
  }
  void Kill(int signal = SIGKILL) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    waitpid(pid_, &status_, 0);
    pid_ = -1;
  }
  void Signal(int signal) { kill(pid_, signal); }
  // SIGTERM; true when the daemon ended by itself with status 0.
  bool Terminate() {
    Kill(SIGTERM);
    return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
  }

  httplib::Client Client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_bearer_token_auth(kApiKey);
    c.set_connection_timeout(5);
    c.set_read_timeout(30);
    return c;
  }
  // POSTs a message; the id of a 202, else empty.
  std::string Send(const json& message) const {
    auto res = Client().Post("/v1/messages", message.dump(), "application/json");
    if (!res || res->status != 202) return "";
    return json::parse(res->body).at("id").get<std::string>();
  }
  json Get(const std::string& id) const {
    auto res = Client().Get("/v1/messages/" + id);
    return res && res->status == 200 ? json::parse(res->body) : json();
  }
  std::string State(const std::string& id) const {
    json m = Get(id);
    return m.is_object() ? m.value("state", "") : "";
  }
  int port() const { return port_; }
  const TempFolder& folder() const { return folder_; }
  // CPU time the running daemon has used, user and system, in seconds.
  double CpuSeconds() const { return StatCpuSeconds("/proc/" + std::to_string(pid_) + "/stat").second; }
  // A "VmRSS"-like line of /proc/PID/status, in KiB.
  long StatusKiB(const std::string& field) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(in, line);)
      if (line.compare(0, field.size() + 1, field + ":") == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
  }
  // The same per thread name ("dispatcher", "queue writer", ...), summed.
  std::map<std::string, double> ThreadCpuSeconds() const {
    std::map<std::string, double> seconds;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/task")) {
      auto [name, cpu] = StatCpuSeconds(task.path() / "stat");
      seconds[name] += cpu;
    }
    return seconds;
  }

 private:
  TempFolder folder_{"daemon"};
  std::vector<std::string> launcher_;
  std::string program_;
  int port_;
  pid_t pid_ = -1;
  int status_ = 0;
};

// The bundled configuration: the null gateway.
inline std::string NullGatewayDocument() {
  std::ifstream in(TALVENIX_SOURCE_DIR "/examples/qvsmscomms.xml");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool IsFinal(const std::string& state) { return state == "sent" || state == "failed" || state == "unknown"; }

}  // namespace talvenix::testing
