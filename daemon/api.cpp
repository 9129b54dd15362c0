// SPDX-License-Identifier: Apache-2.0
#include "daemon/api.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "daemon/crypto.hpp"
#include "daemon/message_input.hpp"
#include "daemon/metrics.hpp"
#include "daemon/status_page.hpp"

namespace talvenix::daemon {
namespace {

constexpr const char* kJson = "application/json";
constexpr std::string_view kMessages = "/v1/messages";

HttpResponse Reply(int status, const nlohmann::json& body) { return {status, kJson, body.dump(), {}}; }

HttpResponse BadField(const std::string& field, const std::string& why) {
  return Reply(400, {{"error", field + ": " + why}, {"field", field}});
}

// The key of "Authorization: Bearer KEY", of "X-Api-Key: KEY", or the
// password of "Authorization: Basic" (a browser's login; the user name is
// not checked).
std::string RequestKey(const HttpRequest& req) {
  std::string value = req.Header("Authorization");
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
  return req.Header("X-Api-Key");
}

bool IsMessageId(std::string_view text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f');
         });
}

// An answer that reads or writes the queue: a queue that fails is a 503
// the client may try again, never a dropped connection.
HttpAnswer Guarded(std::function<HttpResponse(const HttpRequest&)> answer) {
  return [answer = std::move(answer)](const HttpRequest& req) {
    try {
      return answer(req);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "talvenixd: a request failed: %s\n", e.what());
      return Reply(503, {{"error", "the queue is not available; try again later"}});
    }
  };
}

}  // namespace

HttpLimits HttpLimitsOf(const DaemonConfig& c) {
  HttpLimits limits;
  limits.request_timeout = std::chrono::seconds(c.request_timeout_s);
  limits.idle_timeout = std::chrono::seconds(c.idle_timeout_s);
  limits.connections = c.connections;
  limits.connections_per_address = c.connections_per_address;
  return limits;
}

Api::Api(std::shared_ptr<const DaemonConfig> config, MessageQueue& queue, Dispatcher& dispatcher)
    : config_(config),
      queue_(queue),
      dispatcher_(dispatcher),
      server_([this](const HttpRequest& head) { return Route(head); }, HttpLimitsOf(*config)) {}

HttpRoute Api::Route(const HttpRequest& head) {
  const std::string& path = head.path;
  const bool get = head.method == "GET", post = head.method == "POST";
  auto allowed = [](const char* methods) {
    HttpResponse r = ErrorResponse(405, std::string("use ") + methods);
    r.headers.emplace_back("Allow", methods);
    return r;
  };
  if (path == "/livez") {
    if (!get) return allowed("GET");
    return HttpAnswer([](const HttpRequest&) { return HttpResponse{204, "", "", {}}; });
  }
  if (path == "/cgi-bin/sendsms") {
    if (!get) return allowed("GET");
    if (!Authorised(head.Param("password").value_or(""), Config()->key_digests))
      return Reply(401, {{"error", "a valid password is needed"}});
    return Guarded([this](const HttpRequest& req) { return KannelSendSms(req); });
  }
  if (path == "/" || path == "/metrics") {
    if (!get) return allowed("GET");
    if (auto refusal = StatusRefusal(head)) return *refusal;
    if (path == "/")
      return Guarded([this](const HttpRequest&) {
        return HttpResponse{
            200, "text/html; charset=utf-8", StatusPageHtml(queue_.Stats(), server_.Stats(), dispatcher_), {}};
      });
    return Guarded([this](const HttpRequest&) {
      return HttpResponse{
          200, "text/plain; version=0.0.4", MetricsText(queue_.Stats(), server_.Stats(), dispatcher_), {}};
    });
  }
  if (path.compare(0, kMessages.size(), kMessages) != 0) return ErrorResponse(404, "no such resource");
  // /v1/messages, /v1/messages/ID, /v1/messages/ID/retry
  std::string_view rest = std::string_view(path).substr(kMessages.size());
  std::string id;
  bool retry = false;
  if (!rest.empty()) {
    if (rest.front() != '/' || !IsMessageId(rest.substr(1, 32))) return ErrorResponse(404, "no such resource");
    id = std::string(rest.substr(1, 32));
    rest = rest.substr(33);
    retry = rest == "/retry";
    if (!rest.empty() && !retry) return ErrorResponse(404, "no such resource");
  }
  const bool right_method = id.empty() || retry ? post : get;
  if (!right_method) return allowed(id.empty() || retry ? "POST" : "GET");
  if (auto refusal = Refusal(head)) return *refusal;
  if (id.empty()) return Guarded([this](const HttpRequest& req) { return PostMessage(req); });
  if (retry) return Guarded([this, id](const HttpRequest&) { return Retry(id); });
  return Guarded([this, id](const HttpRequest&) { return Find(id); });
}

int Api::Bind(std::string& error) {
  const DaemonConfig& c = *Config();
  return server_.Bind(c.listen_host, c.listen_port, error);
}

void Api::Start() { server_.Start(); }

void Api::Stop() { server_.Stop(); }

std::shared_ptr<const DaemonConfig> Api::Config() const {
  std::lock_guard lock(config_mutex_);
  return config_;
}

void Api::Reconfigure(std::shared_ptr<const DaemonConfig> config) {
  std::lock_guard lock(config_mutex_);
  config_ = std::move(config);
}

std::optional<HttpResponse> Api::Refusal(const HttpRequest& head) const {
  if (Authorised(RequestKey(head), Config()->key_digests)) return std::nullopt;
  return Reply(401, {{"error", "a valid API key is needed"}});
}

std::optional<HttpResponse> Api::StatusRefusal(const HttpRequest& head) const {
  std::shared_ptr<const DaemonConfig> config = Config();
  if (config->status_open) return std::nullopt;
  const std::string key = RequestKey(head);
  if (Authorised(key, config->status_key_digests) || Authorised(key, config->key_digests)) return std::nullopt;
  HttpResponse refusal = Reply(401, {{"error", "a valid status or API key is needed"}});
  refusal.headers.emplace_back("WWW-Authenticate", R"(Basic realm="talvenixd", charset="UTF-8")");
  return refusal;
}

bool Api::Authorised(const std::string& key, const std::vector<std::string>& digests) {
  if (key.empty()) return false;
  std::string digest = Sha256Hex(key);
  bool found = false;
  for (const std::string& d : digests) found |= SameText(d, digest);
  return found;
}

HttpResponse Api::Find(const std::string& id) {
  std::optional<nlohmann::json> message = queue_.Find(id);
  if (!message) return Reply(404, {{"error", "no such message"}});
  return Reply(200, *message);
}

HttpResponse Api::Retry(const std::string& id) {
  switch (queue_.Retry(id)) {
    case RetryResult::kQueued:
      return Reply(202, {{"id", id}, {"state", "queued"}});
    case RetryResult::kNotFound:
      return Reply(404, {{"error", "no such message"}});
    case RetryResult::kNotRetryable:
      break;
  }
  return Reply(409, {{"error", "only a message in state unknown or failed can be sent again"}});
}

// What the running gateway would drop without a word: a sender it does not
// use, the end of a text it would cut.
std::optional<HttpResponse> Api::GatewayRefusal(const NewMessage& m) {
  std::optional<Dispatcher::GatewayRules> rules = dispatcher_.Rules();
  if (!rules) return std::nullopt;  // no engine to say: the message waits for one
  if (!m.from.empty() && rules->own_sender)
    return BadField("from", "the running gateway sends with the sender of its own settings; leave from out");
  if (std::string cut = SplitRefusal(m.text, rules->split); !cut.empty())
    return Reply(422, {{"error", cut}, {"field", "text"}});
  return std::nullopt;
}

HttpResponse Api::PostMessage(const HttpRequest& req) {
  nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
  if (!body.is_object()) return BadField("body", "expected a JSON object");
  NewMessage m;
  const std::pair<const char*, std::string*> fields[] = {{"to", &m.to},
                                                         {"text", &m.text},
                                                         {"from", &m.from},
                                                         {"client_ref", &m.client_ref},
                                                         {"callback_url", &m.callback_url}};
  // A field the API does not know would be ignored, and the client would
  // believe it had asked for something (a priority, a schedule) it never gets.
  for (const auto& item : body.items())
    if (std::none_of(std::begin(fields), std::end(fields), [&](const auto& f) { return item.key() == f.first; }))
      return BadField(item.key(),
                      "not a field of a message; the fields are to, text, from, client_ref and callback_url");
  for (auto [name, out] : fields) {
    auto it = body.find(name);
    if (it == body.end() || it->is_null()) continue;
    if (!it->is_string()) return BadField(name, "expected a string");
    *out = it->get<std::string>();
  }
  if (auto error = CheckMessage(m, Config()->webhook_policy)) return BadField(error->field, error->why);
  if (std::optional<HttpResponse> refused = GatewayRefusal(m)) return *refused;
  std::string id = queue_.Accept(m);
  return Reply(202, {{"id", id}, {"state", "queued"}});
}

// Kannel's sendsms: the password is one of the API keys; the user name is
// not checked. Answers as Kannel does when accepted.
HttpResponse Api::KannelSendSms(const HttpRequest& req) {
  NewMessage m;
  m.to = req.Param("to").value_or("");
  m.text = req.Param("text").value_or("");
  m.from = req.Param("from").value_or("");
  m.callback_url = req.Param("dlr-url").value_or("");
  if (!m.callback_url.empty()) {
    m.kannel_dlr_mask = 8 | 16;
    if (std::optional<std::string> mask = req.Param("dlr-mask")) {
      int value = -1;
      if (std::from_chars(mask->data(), mask->data() + mask->size(), value).ec != std::errc() || value < 0 ||
          value > 31)
        return BadField("dlr-mask", "expected a number from 0 to 31");
      m.kannel_dlr_mask = value;
    }
  }
  if (auto error = CheckMessage(m, Config()->webhook_policy)) return BadField(error->field, error->why);
  if (std::optional<HttpResponse> refused = GatewayRefusal(m)) return *refused;
  queue_.Accept(m);
  return {202, "text/plain", "0: Accepted for delivery", {}};
}

}  // namespace talvenix::daemon
