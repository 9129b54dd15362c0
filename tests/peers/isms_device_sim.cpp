// SPDX-License-Identifier: Apache-2.0
#include "peers/isms_device_sim.hpp"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "support/text_codec.hpp"

namespace talvenix::peers {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// %XX to bytes; '+' stays '+', as the device reads its query.
std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The device splits its query at every '&' and each pair at its first '='.
std::map<std::string, std::string> SplitQuery(const std::string& query) {
  std::map<std::string, std::string> values;
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string pair = query.substr(start, end - start);
    size_t eq = pair.find('=');
    if (eq != std::string::npos) values.emplace(pair.substr(0, eq), Unescape(pair.substr(eq + 1)));
    start = end + 1;
  }
  return values;
}

// "48;69;" -> u"Hi"; false when a unit is not hexadecimal.
bool DecodeHexUnits(const std::string& hex, std::u16string& out) {
  size_t start = 0;
  while (start < hex.size()) {
    size_t end = hex.find(';', start);
    if (end == std::string::npos) end = hex.size();
    if (end == start || end - start > 4) return false;
    uint32_t value = 0;
    for (size_t i = start; i < end; ++i) {
      int d = HexDigit(hex[i]);
      if (d < 0) return false;
      value = value * 16 + static_cast<uint32_t>(d);
    }
    out += static_cast<char16_t>(value);
    start = end + 1;
  }
  return true;
}

std::string Get(const std::map<std::string, std::string>& query, const std::string& key) {
  auto it = query.find(key);
  return it == query.end() ? std::string() : it->second;
}

}  // namespace

InboxMessage InboxMessage::Ascii(std::string sender, const std::string& text) {
  InboxMessage m;
  m.sender = std::move(sender);
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      m.text += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      m.text += escaped;
    }
  }
  return m;
}

InboxMessage InboxMessage::Unicode(std::string sender, const std::u16string& text) {
  InboxMessage m;
  m.sender = std::move(sender);
  m.encoding = "Unicode";
  for (char16_t unit : text) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(unit));
    m.text += hex;
  }
  return m;
}

IsmsDeviceSim::IsmsDeviceSim(std::string user, std::string password) {
  accounts_.emplace_back(std::move(user), std::move(password));
}

IsmsDeviceSim::~IsmsDeviceSim() { Stop(); }

bool IsmsDeviceSim::Start(int port) {
  Stop();
  server_ = std::make_unique<httplib::Server>();
  server_->set_keep_alive_max_count(1000000);
  // Answers go out at once: a device answer held back for the client's delayed
  // acknowledgement costs each request 40 ms.
  server_->set_tcp_nodelay(true);
  // Short, so that Stop (which waits for open connections) returns quickly.
  server_->set_keep_alive_timeout(1);
  auto handler = [this](const httplib::Request& q, httplib::Response& r) { Handle(q, r); };
  server_->Get(R"(/.*)", handler);
  if (port == 0) {
    port = server_->bind_to_any_port("127.0.0.1");
    if (port <= 0) return false;
  } else if (!server_->bind_to_port("127.0.0.1", port)) {
    return false;
  }
  port_ = port;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // The socket listens from bind on: a connection made now waits for the accept loop.

  return true;
}

void IsmsDeviceSim::Stop() {
  if (!server_) return;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

void IsmsDeviceSim::SetCredentials(std::string user, std::string password) {
  std::lock_guard lock(mutex_);
  accounts_.assign(1, {std::move(user), std::move(password)});
}

void IsmsDeviceSim::AddAccount(std::string user, std::string password) {
  std::lock_guard lock(mutex_);
  accounts_.emplace_back(std::move(user), std::move(password));
}

void IsmsDeviceSim::SetMessageStates(uint32_t id, std::vector<std::string> states) {
  std::lock_guard lock(mutex_);
  if (!states.empty()) messages_[id] = Tracked{std::move(states), 0};
}

void IsmsDeviceSim::SetStates(std::vector<std::string> states) {
  std::lock_guard lock(mutex_);
  states_ = states.empty() ? std::vector<std::string>{"0"} : std::move(states);
}

void IsmsDeviceSim::QueueIds(std::vector<uint32_t> ids) {
  std::lock_guard lock(mutex_);
  queued_ids_.insert(queued_ids_.end(), ids.begin(), ids.end());
}

void IsmsDeviceSim::FailSends(int code, int count) {
  std::lock_guard lock(mutex_);
  fail_code_ = code;
  fail_count_ = count;
}

void IsmsDeviceSim::SetDelayMs(int ms) {
  std::lock_guard lock(mutex_);
  delay_ms_ = ms;
}

void IsmsDeviceSim::OverrideAnswer(const std::string& path, std::string body, int status) {
  std::lock_guard lock(mutex_);
  if (body.empty())
    overrides_.erase(path);
  else
    overrides_[path] = {std::move(body), status};
}

void IsmsDeviceSim::SetChaos(const Chaos& chaos) {
  std::lock_guard lock(mutex_);
  chaos_ = chaos;
  random_.seed(chaos.seed);
}

void IsmsDeviceSim::AddInbox(InboxMessage message) {
  std::lock_guard lock(mutex_);
  inbox_.push_back(std::move(message));
}

std::vector<std::string> IsmsDeviceSim::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<AcceptedMessage> IsmsDeviceSim::Accepted() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

size_t IsmsDeviceSim::CountRequests(const std::string& path) const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const std::string& r : requests_) n += r.compare(0, path.size() + 1, path + "?") == 0;
  return n;
}

uint64_t IsmsDeviceSim::RequestCount() const {
  std::lock_guard lock(mutex_);
  return handled_count_;
}

bool IsmsDeviceSim::WaitForRequestCount(uint64_t count, int timeout_ms) const {
  std::unique_lock lock(mutex_);
  return handled_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return handled_count_ >= count; });
}

void IsmsDeviceSim::Handle(const httplib::Request& request, httplib::Response& response) {
  const std::string& target = request.target;
  size_t mark = target.find('?');
  std::string path = target.substr(0, mark);
  auto query = SplitQuery(mark == std::string::npos ? std::string() : target.substr(mark + 1));
  std::string body;
  int status = 200;
  int delay;
  bool answered;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(target);
    delay = delay_ms_;
    if (chaos_.delay > 0 && std::uniform_real_distribution<>(0, 1)(random_) < chaos_.delay)
      delay += std::uniform_int_distribution<>(0, chaos_.max_delay_ms)(random_);
    answered = Answer(path, query, body, status);
  }
  if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  {
    std::lock_guard lock(mutex_);
    ++handled_count_;
  }
  handled_.notify_all();
  if (!answered) {
    // The headers go out, then the connection closes before the body ends.
    response.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink&) { return false; });
    return;
  }
  response.status = status;
  response.set_content(body, path == "/recvmsg" && body.rfind("<?xml", 0) == 0 ? "text/xml" : "text/plain");
}

bool IsmsDeviceSim::Answer(const std::string& path, const std::map<std::string, std::string>& query, std::string& body,
                           int& status) {
  auto roll = [this](double p) { return p > 0 && std::uniform_real_distribution<>(0, 1)(random_) < p; };
  if (roll(chaos_.drop)) return false;
  if (auto o = overrides_.find(path); o != overrides_.end()) {
    body = o->second.first;
    status = o->second.second;
    return true;
  }
  if (path != "/sendmsg" && path != "/querymsg" && path != "/recvmsg") {
    status = 404;
    body = "<html><body><h1>404 Not Found</h1></body></html>";
    return true;
  }
  std::pair<std::string, std::string> account{Get(query, "user"), Get(query, "passwd")};
  if (std::find(accounts_.begin(), accounts_.end(), account) == accounts_.end()) {
    body = "Err: 601";
    return true;
  }
  if (roll(chaos_.error)) {
    static constexpr int kCodes[] = {602, 608, 609};
    body = "Err: " + std::to_string(kCodes[std::uniform_int_distribution<>(0, 2)(random_)]);
    return true;
  }
  if (path == "/sendmsg")
    body = AnswerSend(query, roll(chaos_.duplicate));
  else if (path == "/querymsg")
    body = AnswerQuery(query);
  else
    body = AnswerRecv();
  return true;
}

std::string IsmsDeviceSim::AnswerSend(const std::map<std::string, std::string>& query, bool chaos_duplicate) {
  if (fail_count_ > 0) {
    --fail_count_;
    return "Err: " + std::to_string(fail_code_);
  }
  std::string to = Get(query, "to");
  if (to.size() < 3 || to.front() != '"' || to.back() != '"') return "Err: 607";
  if (Get(query, "enc") != "2") return "Err: 615";
  AcceptedMessage accepted;
  if (!DecodeHexUnits(Get(query, "text"), accepted.text)) return "Err: 621";
  uint32_t id;
  if (!queued_ids_.empty()) {
    id = queued_ids_.front();
    queued_ids_.pop_front();
  } else if (chaos_duplicate && next_id_ > 1) {
    id = std::uniform_int_distribution<uint32_t>(1, next_id_ - 1)(random_);
  } else {
    id = next_id_++;
  }
  accepted.id = id;
  accepted.to = to.substr(1, to.size() - 2);
  accepted.user = Get(query, "user");
  accepted.password = Get(query, "passwd");
  accepted_.push_back(std::move(accepted));
  messages_[id] = Tracked{states_, 0};
  return "ID: " + std::to_string(id);
}

std::string IsmsDeviceSim::AnswerQuery(const std::map<std::string, std::string>& query) {
  std::string id = Get(query, "apimsgid");
  auto it = messages_.find(static_cast<uint32_t>(std::strtoul(id.c_str(), nullptr, 10)));
  if (id.empty() || it == messages_.end()) return "ID: " + id + " Status: 5";
  Tracked& t = it->second;
  std::string state = t.states[std::min(t.next, t.states.size() - 1)];
  ++t.next;
  return "ID: " + id + " Status: " + state;
}

std::string IsmsDeviceSim::AnswerRecv() {
  std::string document = RecvDocument(inbox_);
  inbox_.clear();
  return document;
}

std::string IsmsDeviceSim::RecvDocument(const std::vector<InboxMessage>& messages) {
  char count[16];
  std::snprintf(count, sizeof count, "%02zu", messages.size());
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Response>\n<Response_End>1</Response_End>\n";
  xml += "<Unread_Available>0</Unread_Available>\n<Msg_Count>" + std::string(count) + "</Msg_Count>\n";
  uint32_t index = 0;
  for (const InboxMessage& m : messages) {
    xml += "<MessageNotification>\n<Message_Index>" + std::to_string(++index) + "</Message_Index>\n";
    xml += "<ModemNumber>" + m.modem + "</ModemNumber>\n<SenderNumber>" + m.sender + "</SenderNumber>\n";
    xml += "<Date>" + m.date + "</Date>\n<Time>" + m.time + "</Time>\n";
    xml += "<EncodingFlag>" + m.encoding + "</EncodingFlag>\n<Message>" + m.text + "</Message>\n";
    xml += "</MessageNotification>\n";
  }
  xml += "</Response>\n";
  return xml;
}

}  // namespace talvenix::peers
