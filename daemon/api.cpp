#include "daemon/api.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <cstdio>

#include "daemon/crypto.hpp"
#include "daemon/message_input.hpp"
#include "daemon/metrics.hpp"
#include "daemon/status_page.hpp"

namespace talvenix::daemon {
namespace {

constexpr const char* kJson = "application/json";
constexpr int kServerThreads = 32;  // at least the clients a busy sender keeps open

void Reply(httplib::Response& res, int status, const nlohmann::json& body) {
  res.status = status;
  res.set_content(body.dump(), kJson);
}

void BadField(httplib::Response& res, const std::string& field, const std::string& why) {
  Reply(res, 400, {{"error", field + ": " + why}, {"field", field}});
}

// The key of "Authorization: Bearer KEY", of "X-Api-Key: KEY", or the
// password of "Authorization: Basic" (a browser's login; the user name is
// not checked).
std::string RequestKey(const httplib::Request& req) {
  std::string value = req.get_header_value("Authorization");
  // The scheme's name is case-insensitive ("bearer" too).
  auto scheme = [&](std::string_view name) {
    return value.size() > name.size() && value[name.size()] == ' ' &&
           std::equal(name.begin(), name.end(), value.begin(),
                      [](char lower, char c) { return std::tolower(static_cast<unsigned char>(c)) == lower; });
  };
  if (scheme("bearer")) return value.substr(7);
  if (scheme("basic")) {
    std::optional<std::string> login = Base64Decode(value.substr(6));
    size_t colon = login ? login->find(':') : std::string::npos;
    return colon == std::string::npos ? std::string() : login->substr(colon + 1);
  }
  return req.get_header_value("X-Api-Key");
}

}  // namespace

Api::Api(std::shared_ptr<const DaemonConfig> config, MessageQueue& queue, Dispatcher& dispatcher)
    : config_(std::move(config)), queue_(queue), dispatcher_(dispatcher) {
  server_.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  server_.set_tcp_nodelay(true);
  server_.set_keep_alive_max_count(100000);
  server_.set_keep_alive_timeout(5);
  server_.set_payload_max_length(64 * 1024);

  server_.Post("/v1/messages", [this](const httplib::Request& req, httplib::Response& res) {
    if (Refused(req, res)) return;
    PostMessage(req, res);
  });
  server_.Get(R"(/v1/messages/([0-9a-f]{32}))", [this](const httplib::Request& req, httplib::Response& res) {
    if (Refused(req, res)) return;
    std::optional<nlohmann::json> message = queue_.Find(req.matches[1]);
    if (!message) return Reply(res, 404, {{"error", "no such message"}});
    Reply(res, 200, *message);
  });
  server_.Post(R"(/v1/messages/([0-9a-f]{32})/retry)", [this](const httplib::Request& req, httplib::Response& res) {
    if (Refused(req, res)) return;
    switch (queue_.Retry(req.matches[1])) {
      case RetryResult::kQueued:
        return Reply(res, 202, {{"id", req.matches[1]}, {"state", "queued"}});
      case RetryResult::kNotFound:
        return Reply(res, 404, {{"error", "no such message"}});
      case RetryResult::kNotRetryable:
        return Reply(res, 409, {{"error", "only a message in state unknown or failed can be sent again"}});
    }
  });
  server_.Get("/livez", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  server_.Get("/cgi-bin/sendsms",
              [this](const httplib::Request& req, httplib::Response& res) { KannelSendSms(req, res); });
  server_.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
    if (StatusRefused(req, res)) return;
    res.set_content(StatusPageHtml(queue_.Stats(), dispatcher_), "text/html; charset=utf-8");
  });
  server_.Get("/metrics", [this](const httplib::Request& req, httplib::Response& res) {
    if (StatusRefused(req, res)) return;
    res.set_content(MetricsText(queue_.Stats(), dispatcher_), "text/plain; version=0.0.4");
  });
  server_.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr e) {
    std::string why = "internal error";
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      why = x.what();
    } catch (...) {
    }
    std::fprintf(stderr, "talvenixd: a request failed: %s\n", why.c_str());
    Reply(res, 503, {{"error", "the queue is not available; try again later"}});
  });
}

bool ListeningServer::DeepenListenQueue() {
  // listen() again on a listening socket only changes its queue's length.
  return ::listen(svr_sock_, SOMAXCONN) == 0;
}

int Api::Bind() {
  const DaemonConfig& c = *Config();
  int port = c.listen_port == 0 ? server_.bind_to_any_port(c.listen_host)
             : server_.bind_to_port(c.listen_host, c.listen_port) ? c.listen_port
                                                                             : -1;
  if (port > 0 && !server_.DeepenListenQueue())
    std::fprintf(stderr, "talvenixd: the listen queue stays 5 connections deep: %s\n", std::strerror(errno));
  return port;
}

void Api::Run() { server_.listen_after_bind(); }

std::shared_ptr<const DaemonConfig> Api::Config() const {
  std::lock_guard lock(config_mutex_);
  return config_;
}

void Api::Reconfigure(std::shared_ptr<const DaemonConfig> config) {
  std::lock_guard lock(config_mutex_);
  config_ = std::move(config);
}

void Api::Stop() { server_.stop(); }

bool Api::Refused(const httplib::Request& req, httplib::Response& res) const {
  if (Authorised(RequestKey(req), Config()->key_digests)) return false;
  Reply(res, 401, {{"error", "a valid API key is needed"}});
  return true;
}

bool Api::StatusRefused(const httplib::Request& req, httplib::Response& res) const {
  std::shared_ptr<const DaemonConfig> config = Config();
  if (config->status_open) return false;
  const std::string key = RequestKey(req);
  if (Authorised(key, config->status_key_digests) || Authorised(key, config->key_digests)) return false;
  res.set_header("WWW-Authenticate", R"(Basic realm="talvenixd", charset="UTF-8")");
  Reply(res, 401, {{"error", "a valid status or API key is needed"}});
  return true;
}

bool Api::Authorised(const std::string& key, const std::vector<std::string>& digests) {
  if (key.empty()) return false;
  std::string digest = Sha256Hex(key);
  bool found = false;
  for (const std::string& d : digests) found |= SameText(d, digest);
  return found;
}

void Api::PostMessage(const httplib::Request& req, httplib::Response& res) {
  nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
  if (!body.is_object()) return BadField(res, "body", "expected a JSON object");
  NewMessage m;
  for (auto [name, out] : {std::pair{"to", &m.to},
                           {"text", &m.text},
                           {"from", &m.from},
                           {"client_ref", &m.client_ref},
                           {"callback_url", &m.callback_url}}) {
    auto it = body.find(name);
    if (it == body.end() || it->is_null()) continue;
    if (!it->is_string()) return BadField(res, name, "expected a string");
    *out = it->get<std::string>();
  }
  if (auto error = CheckMessage(m, Config()->webhook_policy)) return BadField(res, error->field, error->why);
  std::string id = queue_.Accept(m);
  Reply(res, 202, {{"id", id}, {"state", "queued"}});
}

// Kannel's sendsms: the password is one of the API keys; the user name is
// not checked. Answers as Kannel does when accepted.
void Api::KannelSendSms(const httplib::Request& req, httplib::Response& res) {
  if (!Authorised(req.get_param_value("password"), Config()->key_digests))
    return Reply(res, 401, {{"error", "a valid password is needed"}});
  NewMessage m;
  m.to = req.get_param_value("to");
  m.text = req.get_param_value("text");
  m.from = req.get_param_value("from");
  m.callback_url = req.get_param_value("dlr-url");
  if (!m.callback_url.empty()) {
    m.kannel_dlr_mask = 8 | 16;
    if (req.has_param("dlr-mask")) {
      const std::string mask = req.get_param_value("dlr-mask");
      int value = -1;
      if (std::from_chars(mask.data(), mask.data() + mask.size(), value).ec != std::errc() || value < 0 || value > 31)
        return BadField(res, "dlr-mask", "expected a number from 0 to 31");
      m.kannel_dlr_mask = value;
    }
  }
  if (auto error = CheckMessage(m, Config()->webhook_policy)) return BadField(res, error->field, error->why);
  queue_.Accept(m);
  res.status = 202;
  res.set_content("0: Accepted for delivery", "text/plain");
}

}  // namespace talvenix::daemon
