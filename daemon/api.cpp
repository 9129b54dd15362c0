// SPDX-License-Identifier: Apache-2.0
#include "daemon/api.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "daemon/crypto.hpp"
#include "daemon/kannel_sendsms.hpp"
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

// True when `text` begins with `lower` (lower-case), whatever the case of
// its letters.
bool StartsLowerCase(std::string_view text, std::string_view lower) {
  return text.size() >= lower.size() && std::equal(lower.begin(), lower.end(), text.begin(), [](char l, char c) {
           return std::tolower(static_cast<unsigned char>(c)) == l;
         });
}

// The key of "Authorization: Bearer KEY", of "X-Api-Key: KEY", or the
// password of "Authorization: Basic" (a browser's login; the user name is
// not checked).
std::string RequestKey(const HttpRequest& req) {
  std::string value = req.Header("Authorization");
  // The scheme's name is case-insensitive ("bearer" too).
  auto scheme = [&](std::string_view name) { return StartsLowerCase(value, name) && value[name.size()] == ' '; };
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

// The route a path takes, as /metrics names it: a few names, never an id.
std::string RouteName(std::string_view path) {
  for (std::string_view fixed : {"/", "/metrics", "/livez", "/cgi-bin/sendsms", "/v1", "/v1/messages"})
    if (path == fixed) return std::string(fixed);
  constexpr std::string_view kOne = "/v1/messages/";
  if (path.substr(0, kOne.size()) == kOne && IsMessageId(path.substr(kOne.size(), 32))) {
    std::string_view rest = path.substr(std::min(path.size(), kOne.size() + 32));
    if (rest.empty()) return "/v1/messages/{id}";
    if (rest == "/retry") return "/v1/messages/{id}/retry";
  }
  return "other";
}

// An answer that reads or writes the queue: a queue that fails is a 503
// the client may try again, never a dropped connection.
HttpAnswer Guarded(std::function<HttpResponse(const HttpRequest&)> answer,
                   HttpResponse failure = Reply(503, {{"error", "the queue is not available; try again later"}})) {
  return [answer = std::move(answer), failure = std::move(failure)](const HttpRequest& req) {
    try {
      return answer(req);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "talvenixd: a request failed: %s\n", e.what());
      return failure;
    }
  };
}

const std::string kMessageFieldList = [] {
  std::string list;
  for (const char* f : kMessageFields) list += (list.empty() ? "" : ", ") + std::string(f);
  return list;
}();

constexpr std::string_view kFormType = "application/x-www-form-urlencoded";

bool IsForm(const HttpRequest& req) {
  const std::string type = req.Header("Content-Type");
  return StartsLowerCase(type, kFormType) && (type.size() == kFormType.size() || type[kFormType.size()] == ';');
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

Api::Api(std::shared_ptr<const DaemonConfig> config, MessageQueue& queue, Dispatcher& dispatcher,
         RunningMetrics& metrics)
    : config_(config),
      queue_(queue),
      dispatcher_(dispatcher),
      metrics_(metrics),
      limits_([this](const std::string& tenant, int64_t day) { return queue_.AcceptedOnDay(tenant, day); }),
      server_([this](const HttpRequest& head) { return Route(head); }, HttpLimitsOf(*config)) {}

HttpRoute Api::Route(const HttpRequest& head) {
  std::string route = RouteName(head.path);
  HttpRoute routed = RouteOf(head);
  if (auto* refusal = std::get_if<HttpResponse>(&routed)) {
    metrics_.Request(route, refusal->status);
    return routed;
  }
  return HttpAnswer(
      [this, route = std::move(route), answer = std::get<HttpAnswer>(std::move(routed))](const HttpRequest& req) {
        HttpResponse response = answer(req);
        metrics_.Request(route, response.status);
        return response;
      });
}

HttpRoute Api::RouteOf(const HttpRequest& head) {
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
    if (!get && !post) return allowed("GET, POST");
    // A GET's password is in its head: a wrong one costs no body.
    if (get && !CallerOf(FormParam(head.query, "password").value_or(FormParam(head.query, "pass").value_or(""))))
      return KannelAnswer(403, kKannelAuthFailed);
    if (post && !IsForm(head))
      return KannelAnswer(415, "Content-Type must be application/x-www-form-urlencoded, rejected");
    return Guarded([this](const HttpRequest& req) { return KannelSendSms(req); },
                   KannelAnswer(503, kKannelTemporalFailure));
  }
  if (path == "/" || path == "/metrics") {
    if (!get) return allowed("GET");
    if (auto refusal = StatusRefusal(head)) return *refusal;
    if (path == "/")
      return Guarded([this](const HttpRequest&) {
        return HttpResponse{200,
                            "text/html; charset=utf-8",
                            StatusPageHtml(queue_.Stats(), server_.Stats(), dispatcher_, metrics_.Read()),
                            {}};
      });
    return Guarded([this](const HttpRequest&) {
      return HttpResponse{
          200, kMetricsType, MetricsText(queue_.Stats(), server_.Stats(), dispatcher_, metrics_.Read()), {}};
    });
  }
  if (path == "/v1") {
    if (!get) return allowed("GET");
    auto caller = Authenticate(head);
    if (auto* refusal = std::get_if<HttpResponse>(&caller)) return *refusal;
    return HttpAnswer(
        [this, caller = std::get<Caller>(caller)](const HttpRequest&) { return Reply(200, Describe(caller)); });
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
  auto authenticated = Authenticate(head);
  if (auto* refusal = std::get_if<HttpResponse>(&authenticated)) return *refusal;
  const Caller caller = std::get<Caller>(authenticated);
  if (id.empty()) return Guarded([this, caller](const HttpRequest& req) { return PostMessage(req, caller); });
  if (retry) return Guarded([this, id, caller](const HttpRequest&) { return Retry(id, caller); });
  return Guarded([this, id, caller](const HttpRequest&) { return Find(id, caller); });
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

std::optional<Api::Caller> Api::CallerOf(const std::string& key) const {
  std::shared_ptr<const DaemonConfig> config = Config();
  const Tenant* tenant = TenantOfKey(config->tenants, key);
  if (!tenant) return std::nullopt;
  return Caller{std::move(config), tenant};
}

std::variant<Api::Caller, HttpResponse> Api::Authenticate(const HttpRequest& head) const {
  if (std::optional<Caller> caller = CallerOf(RequestKey(head))) return *caller;
  return Reply(401, {{"error", "a valid API key is needed"}});
}

std::optional<HttpResponse> Api::StatusRefusal(const HttpRequest& head) const {
  std::shared_ptr<const DaemonConfig> config = Config();
  if (config->status_open) return std::nullopt;
  const std::string key = RequestKey(head);
  // The pages show every tenant's figures: the operator's keys open them, not a tenant's.
  const Tenant* tenant = TenantOfKey(config->tenants, key);
  if ((tenant && tenant->name == kDefaultTenant) || HoldsKey(config->status_key_digests, key)) return std::nullopt;
  HttpResponse refusal = Reply(401, {{"error", "a valid status or API key is needed"}});
  refusal.headers.emplace_back("WWW-Authenticate", R"(Basic realm="talvenixd", charset="UTF-8")");
  return refusal;
}

HttpResponse Api::Find(const std::string& id, const Caller& caller) {
  std::optional<nlohmann::json> message = queue_.Find(id, caller.tenant->name);
  if (!message) return Reply(404, {{"error", "no such message"}});
  return Reply(200, *message);
}

HttpResponse Api::Retry(const std::string& id, const Caller& caller) {
  switch (queue_.Retry(id, caller.tenant->name)) {
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
// use, the end of a text it would cut. Sets the parts the text becomes.
std::optional<Api::Refused> Api::GatewayRefusal(NewMessage& m) {
  std::optional<Dispatcher::GatewayRules> rules = dispatcher_.Rules();
  if (!rules) return std::nullopt;  // no engine to say: the message waits for one
  if (!m.from.empty() && rules->own_sender)
    return Refused{400, "from", "from: the running gateway sends with the sender of its own settings; leave from out"};
  SplitCheck split = CheckSplit(m.text, rules->split);
  if (!split.refusal.empty()) return Refused{422, "text", split.refusal};
  m.parts = split.parts;
  return std::nullopt;
}

// What a client may send now: the fields the running gateway carries out
// and the limits a message is checked against.
nlohmann::json Api::Describe(const Caller& caller) {
  std::optional<Dispatcher::GatewayRules> rules = dispatcher_.Rules();
  const Tenant& tenant = *caller.tenant;
  auto limit = [](auto value) { return value > 0 ? nlohmann::json(value) : nlohmann::json(); };
  nlohmann::json out = {{"version", TALVENIX_VERSION},
                        {"engine", dispatcher_.EngineRunning() ? "running" : "stopped"},
                        {"fields", HonouredFields(rules && rules->own_sender)},
                        {"max_recipients", caller.config->max_recipients},
                        {"priority", {{"min", 0}, {"max", kMaxPriority}}},
                        {"tenant",
                         {{"name", tenant.name},
                          {"messages_per_second", limit(tenant.messages_per_second)},
                          {"daily_cap", limit(tenant.daily_cap)},
                          {"accepted_today", limits_.AcceptedToday(tenant, NowMs())}}}};
  const std::string gateway = dispatcher_.Gateway();
  out["gateway"] = gateway.empty() ? nlohmann::json() : nlohmann::json(gateway);
  if (rules)
    out["text"] = {{"split", rules->split.split},
                   {"max_parts", rules->split.split ? std::max(rules->split.max_parts, 1) : 1},
                   {"chars_per_part", rules->split.max_chars}};
  return out;
}

// Checks every message, then accepts them all or none; the ids in their order.
std::variant<std::vector<std::string>, Api::Refused> Api::AcceptAll(std::vector<NewMessage>& messages, bool list,
                                                                    const Caller& caller) {
  const int64_t now = NowMs();
  for (size_t i = 0; i < messages.size(); ++i)
    if (auto error = CheckMessage(messages[i], caller.config->webhook_policy, now)) {
      if (error->field == "to" && list) error->field = "to[" + std::to_string(i) + "]";
      return Refused{400, error->field, error->field + ": " + error->why};
    }
  // A group names the daemons that may send it: one of this queue's, and
  // only this daemon's gateway rules hold for its own group.
  const std::string& group = messages.front().group;
  if (!queue_.HasGroup(group)) {
    std::string known;
    for (const std::string& g : queue_.Groups())
      if (!g.empty()) known += (known.empty() ? "" : ", ") + g;
    return Refused{400, "group",
                   "group " + group + ": no daemon sends for it" +
                       (known.empty() ? std::string(" (this daemon sends alone)") : " (the groups are " + known + ")")};
  }
  if (group.empty() || group == caller.config->group)
    if (std::optional<Refused> refused = GatewayRefusal(messages.front())) return *refused;
  const Tenant& tenant = *caller.tenant;
  for (NewMessage& m : messages) {
    m.parts = messages.front().parts;
    m.tenant = tenant.name;
  }
  if (auto refusal = limits_.Take(tenant, static_cast<int>(messages.size()), now)) {
    metrics_.TenantRefused(tenant.name, refusal->reason, messages.size());
    return Refused{429, "", refusal->text + "; try again in " + std::to_string(refusal->retry_after_s) + " s",
                   refusal->retry_after_s};
  }
  std::vector<std::string> ids;
  try {
    ids = queue_.AcceptAll(messages);
  } catch (...) {
    limits_.GiveBack(tenant, static_cast<int>(messages.size()), now);
    throw;
  }
  metrics_.Accepted(ids.size());
  return ids;
}

// A refusal as JSON, or in Kannel's plain text; a 429 says when to come back.
HttpResponse Api::RefusalAnswer(const Refused& refused, bool kannel) {
  HttpResponse r = kannel
                       ? KannelAnswer(refused.status, refused.text)
                       : Reply(refused.status,
                               {{"error", refused.text},
                                {"field", refused.field.empty() ? nlohmann::json() : nlohmann::json(refused.field)}});
  if (refused.retry_after_s > 0) r.headers.emplace_back("Retry-After", std::to_string(refused.retry_after_s));
  return r;
}

HttpResponse Api::PostMessage(const HttpRequest& req, const Caller& caller) {
  nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
  if (!body.is_object()) return BadField("body", "expected a JSON object");
  // A field the API does not know would be ignored, and the client would
  // believe it had asked for something it never gets.
  for (const auto& item : body.items())
    if (std::none_of(std::begin(kMessageFields), std::end(kMessageFields),
                     [&](const char* f) { return item.key() == f; }))
      return BadField(item.key(), "not a field of a message; the fields are " + kMessageFieldList);
  auto field = [&](const char* name) -> const nlohmann::json* {
    auto it = body.find(name);
    return it == body.end() || it->is_null() ? nullptr : &*it;
  };
  NewMessage m;
  for (auto [name, out] :
       {std::pair{"text", &m.text}, std::pair{"from", &m.from}, std::pair{"client_ref", &m.client_ref},
        std::pair{"callback_url", &m.callback_url}, std::pair{"group", &m.group}}) {
    const nlohmann::json* value = field(name);
    if (!value) continue;
    if (!value->is_string()) return BadField(name, "expected a string");
    *out = value->get<std::string>();
  }
  const int64_t now = NowMs();
  for (auto [name, out] : {std::pair{"send_at", &m.send_at_ms}, std::pair{"valid_until", &m.expires_ms}}) {
    const nlohmann::json* value = field(name);
    if (!value) continue;
    std::optional<int64_t> ms = value->is_string() ? ParseRfc3339(value->get<std::string>()) : std::nullopt;
    if (!ms) return BadField(name, "expected an RFC 3339 time, such as 2026-12-10T09:30:00Z");
    *out = *ms;
  }
  if (const nlohmann::json* validity = field("validity")) {
    if (m.expires_ms > 0) return BadField("validity", "give valid_until or validity, not both");
    if (!validity->is_number_integer()) return BadField("validity", "expected whole minutes");
    if (auto error = SetValidity(m, validity->get<int64_t>(), "validity", now))
      return BadField(error->field, error->why);
  }
  if (const nlohmann::json* priority = field("priority")) {
    if (!priority->is_number_integer() || priority->get<int64_t>() < 0 || priority->get<int64_t>() > kMaxPriority)
      return BadField("priority", "expected a whole number from 0 to " + std::to_string(kMaxPriority));
    m.priority = priority->get<int>();
  }
  std::vector<NewMessage> messages;
  const nlohmann::json* to = field("to");
  const bool list = to && to->is_array();
  if (list) {
    const size_t most = static_cast<size_t>(caller.config->max_recipients);
    if (to->empty() || to->size() > most)
      return BadField("to", "expected 1 to " + std::to_string(most) + " recipients");
    for (const nlohmann::json& recipient : *to) {
      if (!recipient.is_string()) return BadField("to", "expected a list of strings");
      messages.push_back(m);
      messages.back().to = recipient.get<std::string>();
    }
  } else {
    if (to && !to->is_string()) return BadField("to", "expected a string or a list of strings");
    if (to) m.to = to->get<std::string>();
    messages.push_back(m);
  }
  auto accepted = AcceptAll(messages, list, caller);
  if (const Refused* refused = std::get_if<Refused>(&accepted)) return RefusalAnswer(*refused, false);
  const auto& ids = std::get<std::vector<std::string>>(accepted);
  if (!list) return Reply(202, {{"id", ids.front()}, {"state", "queued"}});
  return Reply(202, {{"ids", ids}, {"state", "queued"}});
}

// Kannel's sendsms: the password is one of the API keys; the user name is
// not checked. Answers as Kannel does; the ids are in X-Message-Id, for a
// GET of /v1/messages/ID.
HttpResponse Api::KannelSendSms(const HttpRequest& req) {
  const std::string_view form = req.method == "POST" ? std::string_view(req.body) : std::string_view(req.query);
  auto read = ReadKannelSendSms(form, NowMs(), static_cast<size_t>(Config()->max_recipients));
  if (const KannelRefusal* refusal = std::get_if<KannelRefusal>(&read))
    return KannelAnswer(refusal->status, refusal->text);
  KannelRequest& request = std::get<KannelRequest>(read);
  std::optional<Caller> caller = CallerOf(request.password);
  if (!caller) return KannelAnswer(403, kKannelAuthFailed);
  auto accepted = AcceptAll(request.messages, request.messages.size() > 1, *caller);
  if (const Refused* refused = std::get_if<Refused>(&accepted)) return RefusalAnswer(*refused, true);
  std::string ids;
  for (const std::string& id : std::get<std::vector<std::string>>(accepted)) ids += (ids.empty() ? "" : ", ") + id;
  HttpResponse answer = KannelAnswer(202, kKannelAccepted);
  answer.headers.emplace_back("X-Message-Id", ids);
  return answer;
}

}  // namespace talvenix::daemon
