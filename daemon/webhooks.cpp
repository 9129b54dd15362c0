#include "daemon/webhooks.hpp"

#include <pthread.h>

#include <httplib.h>

#include <algorithm>
#include <cstdio>

#include "daemon/crypto.hpp"
#include "support/peer_text.hpp"

namespace talvenix::daemon {
namespace {

constexpr size_t kParallelDeliveries = 8;

// "scheme://host[:port]" and the rest ("/path?query"), or false.
bool SplitUrl(const std::string& url, std::string& origin, std::string& target) {
  size_t scheme = url.find("://");
  if (scheme == std::string::npos) return false;
  std::string name = url.substr(0, scheme);
  if (name != "http" && name != "https") return false;
  size_t path = url.find('/', scheme + 3);
  origin = url.substr(0, path);
  target = path == std::string::npos ? "/" : url.substr(path);
  return origin.size() > scheme + 3;
}

}  // namespace

int64_t WebhookBackoffMs(int attempts) {
  int64_t delay = 1000;
  for (int i = 0; i < attempts && delay < 3600 * 1000; ++i) delay *= 2;
  return std::min<int64_t>(delay, 3600 * 1000);
}

WebhookSender::WebhookSender(MessageQueue& queue, std::string secret) : queue_(queue), secret_(std::move(secret)) {}

WebhookSender::~WebhookSender() { Stop(); }

void WebhookSender::Start() {
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "webhooks");
    Loop();
  });
}

void WebhookSender::Stop() {
  stopping_ = true;
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void WebhookSender::Loop() {
  while (!stopping_) {
    std::vector<WebhookDelivery> due;
    try {
      due = queue_.DueWebhooks(NowMs(), 64);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "talvenixd: webhooks: the queue failed: %s\n", e.what());
    }
    // A few at once, so that one slow receiver does not hold up the others.
    std::atomic<size_t> next{0};
    std::vector<std::thread> senders;
    for (size_t i = 0; i < std::min(due.size(), kParallelDeliveries); ++i)
      senders.emplace_back([&] {
        for (size_t k; !stopping_ && (k = next++) < due.size();) Attempt(due[k]);
      });
    for (auto& t : senders) t.join();
    if (due.empty()) {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, std::chrono::milliseconds(200), [&] { return stopping_.load(); });
    }
  }
}

void WebhookSender::Attempt(const WebhookDelivery& d) {
  std::string error = Deliver(d);
  int64_t now = NowMs();
  bool give_up = !error.empty() && now - d.created_ms >= kWebhookGiveUpMs;
  if (!error.empty())
    std::fprintf(stderr, "talvenixd: webhook %s attempt %d failed: %s%s\n", d.event_id.c_str(), d.attempts + 1,
                 error.c_str(), give_up ? "; given up" : "");
  try {
    queue_.WebhookAttempted(d.event_id, error.empty(), now + WebhookBackoffMs(d.attempts), give_up, error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "talvenixd: webhooks: the queue failed: %s\n", e.what());
  }
}

std::string WebhookSender::Deliver(const WebhookDelivery& d) {
  std::string origin, target;
  if (!SplitUrl(d.url, origin, target)) return "not an http or https URL";
  httplib::Client client(origin);
  client.set_connection_timeout(10);
  client.set_read_timeout(30);
  client.set_write_timeout(30);
  client.set_tcp_nodelay(true);
  httplib::Headers headers{{kEventIdHeader, d.event_id}};
  if (!secret_.empty() && d.method != "GET") {
    std::string timestamp = std::to_string(NowMs() / 1000);
    headers.emplace(kTimestampHeader, timestamp);
    headers.emplace(kSignatureHeader, "sha256=" + HmacSha256Hex(secret_, timestamp + "." + d.body));
  }
  httplib::Result result =
      d.method == "GET" ? client.Get(target, headers) : client.Post(target, headers, d.body, "application/json");
  if (!result) return "no answer: " + httplib::to_string(result.error());
  if (result->status < 200 || result->status > 299)
    return "answer " + std::to_string(result->status) + " " + PeerText(result->body, 200);
  return "";
}

}  // namespace talvenix::daemon
