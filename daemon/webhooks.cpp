// SPDX-License-Identifier: Apache-2.0
#include "daemon/webhooks.hpp"

#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <optional>

#include "daemon/crypto.hpp"
#include "daemon/webhook_url.hpp"
#include "support/peer_text.hpp"

namespace talvenix::daemon {

constexpr size_t kKeptAnswer = 200;  // bytes of a refusing receiver's answer kept for the log

struct WebhookSender::Transfer {
  WebhookSender* sender = nullptr;
  WebhookDelivery delivery;
  std::string origin;
  curl_slist* headers = nullptr;
  std::string answer;
  std::string refused;  // why the policy refused an address
  char error[CURL_ERROR_SIZE] = "";
  ~Transfer() { curl_slist_free_all(headers); }
};

namespace {

size_t KeepAnswer(char* data, size_t size, size_t count, void* out) {
  std::string& answer = *static_cast<std::string*>(out);
  answer.append(data, std::min(size * count, kKeptAnswer - std::min(answer.size(), kKeptAnswer)));
  return size * count;
}

}  // namespace

int64_t WebhookBackoffMs(int attempts) {
  int64_t delay = 1000;
  for (int i = 0; i < attempts && delay < 3600 * 1000; ++i) delay *= 2;
  return std::min<int64_t>(delay, 3600 * 1000);
}

WebhookSender::WebhookSender(MessageQueue& queue, WebhookSettings settings, RunningMetrics& metrics)
    : queue_(queue), metrics_(metrics), settings_(std::move(settings)) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  multi_ = curl_multi_init();
  curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, static_cast<long>(settings_.connections));
}

WebhookSender::~WebhookSender() {
  Stop();
  for (auto& [easy, transfer] : transfers_) {
    curl_multi_remove_handle(multi_, easy);
    curl_easy_cleanup(easy);
  }
  curl_multi_cleanup(multi_);
}

void WebhookSender::Start() {
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "webhooks");
    Loop();
  });
}

void WebhookSender::Stop() {
  stopping_ = true;
  curl_multi_wakeup(multi_);
  if (thread_.joinable()) thread_.join();
}

void WebhookSender::Reconfigure(WebhookSettings settings) {
  {
    std::lock_guard lock(new_settings_mutex_);
    new_settings_ = std::move(settings);
  }
  curl_multi_wakeup(multi_);
}

void WebhookSender::Loop() {
  int64_t next_look = 0;  // when the queue is asked again for due events
  while (!stopping_) {
    {
      std::lock_guard lock(new_settings_mutex_);
      if (new_settings_) {
        settings_ = std::move(*new_settings_);
        new_settings_.reset();
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, static_cast<long>(settings_.connections));
      }
    }
    const bool room = static_cast<int>(transfers_.size()) < settings_.connections;
    try {
      if (room && NowMs() >= next_look) next_look = StartDue() ? 0 : NowMs() + 200;
      int running = 0;
      curl_multi_perform(multi_, &running);
      int left = 0;
      while (CURLMsg* m = curl_multi_info_read(multi_, &left))
        if (m->msg == CURLMSG_DONE) {
          Finish(m->easy_handle, m->data.result);
          next_look = 0;  // a place came free
        }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "talvenixd: webhooks: %s\n", e.what());
      next_look = NowMs() + 1000;
    }
    // Transfers wake the poll themselves; the queue is looked at again at
    // once only while there is room and the last look moved something.
    int64_t wait = 200;
    if (static_cast<int>(transfers_.size()) < settings_.connections)
      wait = std::clamp<int64_t>(next_look - NowMs(), 0, 200);
    curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait), nullptr);
  }
}

bool WebhookSender::StartDue() {
  WebhookSkip skip;
  for (auto& [easy, t] : transfers_) skip.events.push_back(t->delivery.event_id);
  std::erase_if(held_, [now = NowMs()](const auto& held) { return held.second <= now; });
  for (auto& [event, until] : held_) skip.events.push_back(event);
  for (auto& [origin, count] : per_origin_)
    if (count >= settings_.per_receiver) skip.origins.push_back(origin);
  const int room = settings_.connections - static_cast<int>(transfers_.size());
  bool moved = false;
  for (const WebhookDelivery& d : queue_.DueWebhooks(NowMs(), room, skip)) {
    if (static_cast<int>(transfers_.size()) >= settings_.connections) break;
    try {
      moved |= Begin(d);
    } catch (const std::exception& e) {
      // One event that cannot even start never stops the others.
      Record(d, WebhookOutcome::kFailed, e.what());
      moved = true;
    }
  }
  return moved;
}

bool WebhookSender::Begin(const WebhookDelivery& d) {
  std::string why;
  std::optional<WebhookUrl> url = ParseWebhookUrl(d.url, why);
  if (!url) {
    Record(d, WebhookOutcome::kFailed, "not a receiver's URL: " + why);
    return true;
  }
  // Events of a receiver at its limit, which the queue did not leave out
  // (a URL stored in another form), wait for a later look.
  if (auto at = per_origin_.find(url->origin); at != per_origin_.end() && at->second >= settings_.per_receiver)
    return false;

  auto t = std::make_unique<Transfer>();
  t->sender = this;
  t->delivery = d;
  t->origin = url->origin;
  t->headers = curl_slist_append(t->headers, (std::string(kEventIdHeader) + ": " + d.event_id).c_str());
  CURL* easy = curl_easy_init();
  if (easy == nullptr) throw std::runtime_error("libcurl has no memory for a transfer");
  curl_easy_setopt(easy, CURLOPT_URL, url->url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_PROXY, "");  // a proxy would connect where the policy cannot see
  curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &WebhookSender::OpenSocket);
  curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, t.get());
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, settings_.timeout_s * 1000L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, std::min(settings_.timeout_s, 5) * 1000L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &KeepAnswer);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t->answer);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t->error);
  curl_easy_setopt(easy, CURLOPT_PRIVATE, t.get());
  if (d.method == "GET") {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else {
    t->headers = curl_slist_append(t->headers, "Content-Type: application/json");
    if (!settings_.secret.empty()) {
      const std::string timestamp = std::to_string(NowMs() / 1000);
      t->headers = curl_slist_append(t->headers, (std::string(kTimestampHeader) + ": " + timestamp).c_str());
      t->headers = curl_slist_append(t->headers, (std::string(kSignatureHeader) + ": sha256=" +
                                                  HmacSha256Hex(settings_.secret, timestamp + "." + t->delivery.body))
                                                     .c_str());
    }
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, t->delivery.body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t->delivery.body.size()));
  }
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t->headers);
  if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
    curl_easy_cleanup(easy);
    throw std::runtime_error("libcurl refused a transfer");
  }
  ++per_origin_[t->origin];
  transfers_.emplace(easy, std::move(t));
  return true;
}

curl_socket_t WebhookSender::OpenSocket(void* data, curlsocktype, curl_sockaddr* address) {
  auto* t = static_cast<Transfer*>(data);
  std::string refusal = t->sender->settings_.policy.Refusal(&address->addr);
  if (!refusal.empty()) {
    t->refused = refusal;
    return CURL_SOCKET_BAD;
  }
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

void WebhookSender::Finish(CURL* easy, CURLcode result) {
  auto it = transfers_.find(easy);
  if (it == transfers_.end()) return;
  std::unique_ptr<Transfer> t = std::move(it->second);
  transfers_.erase(it);
  curl_multi_remove_handle(multi_, easy);
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(easy);
  if (--per_origin_[t->origin] <= 0) per_origin_.erase(t->origin);

  if (result == CURLE_OK && status >= 200 && status <= 299) return Record(t->delivery, WebhookOutcome::kDelivered, "");
  if (result != CURLE_OK && !t->refused.empty())
    return Record(t->delivery, WebhookOutcome::kFailed, "refused by the webhook policy: " + t->refused);
  std::string error = result != CURLE_OK
                          ? std::string("no answer: ") + (t->error[0] ? t->error : curl_easy_strerror(result))
                          : "answer " + std::to_string(status) + " " + PeerText(t->answer, kKeptAnswer);
  const bool expired = NowMs() - t->delivery.created_ms >= kWebhookGiveUpMs;
  Record(t->delivery, expired ? WebhookOutcome::kExpired : WebhookOutcome::kDueAgain, error);
}

void WebhookSender::Record(const WebhookDelivery& d, WebhookOutcome outcome, const std::string& error) {
  metrics_.WebhookAttempt(outcome);
  if (outcome != WebhookOutcome::kDelivered)
    std::fprintf(stderr, "talvenixd: webhook %s attempt %d failed: %s%s\n", d.event_id.c_str(), d.attempts + 1,
                 error.c_str(),
                 outcome == WebhookOutcome::kExpired  ? "; given up"
                 : outcome == WebhookOutcome::kFailed ? "; it cannot be delivered"
                                                      : "");
  try {
    queue_.WebhookAttempted(d.event_id, outcome, NowMs() + WebhookBackoffMs(d.attempts), error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "talvenixd: webhooks: the queue failed: %s\n", e.what());
    held_[d.event_id] = NowMs() + 60 * 1000;
  }
}

}  // namespace talvenix::daemon
