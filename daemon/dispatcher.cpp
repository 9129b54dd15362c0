// SPDX-License-Identifier: Apache-2.0
#include "daemon/dispatcher.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "contract/service.hpp"
#include "daemon/status_reports.hpp"
#include "gateways/catalog/catalog.hpp"
#include "hostkit/status_names.hpp"
#include "support/text_codec.hpp"

namespace talvenix::daemon {

constexpr int kClaimBatch = 32;
// The journal of handed ids is emptied only by a claim that waits for every
// earlier code (ClaimNext); claims ahead skip that, so one waits at least
// this often.
constexpr int kSendsBetweenJournalEmptying = 4096;

// A request handed to the module, kept alive until its outcome is known: a
// pending one's outcome names the request by its address.
struct Dispatcher::InFlight {
  std::string id;
  std::u16string text;
  std::string to;
  TalvexSmsRequest request{};
  std::chrono::steady_clock::time_point handed;
  bool outcome_seen = false;      // the callback reported the outcome
  bool returned_pending = false;  // SendSMS returned 112
};

Dispatcher::Dispatcher(host::Module& module, MessageQueue& queue, double messages_per_second, int parallel,
                       RunningMetrics& metrics)
    : module_(module), queue_(queue), metrics_(metrics), gap_(Gap(messages_per_second)), parallel_(parallel) {}

std::chrono::nanoseconds Dispatcher::Gap(double messages_per_second) {
  return std::chrono::nanoseconds(messages_per_second > 0 ? static_cast<int64_t>(1e9 / messages_per_second) : 0);
}

void Dispatcher::SetRate(double messages_per_second) {
  OnThread([this, messages_per_second] {
    gap_ = Gap(messages_per_second);
    return TALVEX_OK;
  });
}

void Dispatcher::SetParallel(int parallel) {
  OnThread([this, parallel] {
    parallel_ = parallel;
    SizeWorkers();
    return TALVEX_OK;
  });
}

void Dispatcher::SizeWorkers() {
  std::optional<GatewayRules> rules = Rules();
  const bool concurrent = rules && rules->concurrent_sends;
  if (parallel_ > 1 && rules && !concurrent)
    std::fprintf(stderr, "talvenixd: [queue] parallel is %d, but the %s gateway takes one send at a time\n", parallel_,
                 Gateway().c_str());
  const int senders = concurrent && parallel_ > 1 ? parallel_ : 0;
  workers_.Resize(senders);
  in_parallel_ = std::max(senders, 1);
}

bool Dispatcher::Answering(std::chrono::milliseconds limit) const { return NowMs() - beat_ms_ <= limit.count(); }

Dispatcher::~Dispatcher() { Stop(); }

bool Dispatcher::Start(int32_t& code) {
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "dispatcher");
    Loop();
  });
  code = OnThread([this] { return StartEngine(); });
  if (code != TALVEX_OK) Stop();
  return code == TALVEX_OK;
}

int32_t Dispatcher::Reload() {
  return OnThread([this]() -> int32_t {
    if (running_) {
      uint32_t changed = 0;
      int32_t rc = module_.Update(&changed, 1, 1, &options_);
      if (rc != TALVEX_UPDATE_RESTART) {
        TakeOptions();
        SizeWorkers();
        return rc;
      }
      // The engine must start afresh; queued messages wait in the queue.
      StopEngine();
    }
    int32_t init = StartEngine();
    return init == TALVEX_OK ? TALVEX_UPDATE_RESTART : init;
  });
}

int32_t Dispatcher::StartEngine() {
  int32_t rc = module_.InitTalvex(reinterpret_cast<uintptr_t>(this), Callback, &options_);
  running_ = rc == TALVEX_OK;
  modem_lines_ = running_ && options_ && options_->service_flag == TALVEX_SERVICE_GSM;
  TakeOptions();
  SizeWorkers();
  return rc;
}

void Dispatcher::TakeOptions() {
  std::lock_guard lock(mutex_);
  rules_.reset();
  if (!running_ || !options_) return;
  const TalvexGenericOptions& o = *options_;
  gateway_.assign(o.selectedservice, strnlen(o.selectedservice, sizeof o.selectedservice));
  const ServiceDescriptor* d = FindServiceByFlag(AvailableServices(), o.service_flag);
  if (!d) return;
  const sms::FitRules split{(d->capabilities & kCapSplitsItself) != 0,
                            (d->traits & kTraitCountsGsmAlphabet) != 0,
                            o.disableunicode != 0,
                            o.splitsms != 0,
                            o.maxsmschars,
                            o.maxsmssplit};
  rules_ = GatewayRules{split, (d->traits & kTraitOwnSender) != 0, (d->traits & kTraitConcurrentSends) != 0};
}

std::optional<Dispatcher::GatewayRules> Dispatcher::Rules() {
  std::lock_guard lock(mutex_);
  return rules_;
}

void Dispatcher::StopEngine() {
  workers_.Resize(0);
  in_parallel_ = 1;
  // A pending request the engine gives up arrives as code 12 during Unint.
  module_.Unint();
  running_ = false;
  options_ = nullptr;
  TakeOptions();
  // What the engine still held will never be reported now; what it was
  // never given goes back to the queue.
  if (ahead_.valid()) {
    try {
      ahead_.get();
    } catch (const std::exception&) {
      // Nothing was taken; MarkUnknown sorts out the rest.
    }
  }
  claimed_.clear();
  try {
    queue_.MarkUnknown();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "talvenixd: the queue failed: %s; the next start sorts the messages out\n", e.what());
  }
  std::lock_guard lock(mutex_);
  in_flight_.clear();
}

void Dispatcher::Stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

int32_t Dispatcher::OnThread(std::function<int32_t()> call) {
  std::unique_lock lock(calls_mutex_);
  call_done_.wait(lock, [&] { return !call_; });  // one call at a time
  call_ = std::move(call);
  call_finished_ = false;
  call_done_.wait(lock, [&] { return call_finished_ || !thread_.joinable(); });
  return call_finished_ ? call_result_ : TALVEX_FAILED;
}

void Dispatcher::Loop() {
  auto run_call = [this] {
    std::lock_guard lock(calls_mutex_);
    if (!call_) return;
    workers_.Drain();  // no export runs beside a send
    call_result_ = call_();
    call_ = nullptr;
    call_finished_ = true;
    call_done_.notify_all();
  };
  auto next_send = std::chrono::steady_clock::now(), next_expiry = next_send;
  while (!stopping_) {
    beat_ms_ = NowMs();
    run_call();
    if (!running_) {
      // Nothing claims while the engine is down: a message's time still runs out.
      if (auto now = std::chrono::steady_clock::now(); now >= next_expiry) {
        next_expiry = now + std::chrono::seconds(1);
        try {
          queue_.ExpireOverdue();
        } catch (const std::exception& e) {
          std::fprintf(stderr, "talvenixd: the queue failed: %s\n", e.what());
        }
      }
      queue_.WaitForWork(std::chrono::milliseconds(50));
      continue;
    }
    const bool throttled = gap_.count() > 0;
    if (claimed_.empty()) {
      try {
        // Unthrottled, a batch of claims shares one commit; throttled, a
        // message is taken only when its turn comes.
        std::vector<OutgoingMessage> batch;
        if (throttled) std::this_thread::sleep_until(next_send);
        const int limit = throttled ? 1 : kClaimBatch;
        if (ahead_.valid()) {
          batch = ahead_.get();
        } else if (!workers_.Idle() && handed_since_claim_next_ < kSendsBetweenJournalEmptying) {
          // Emptying the journal waits for the sends under way: not while they run.
          batch = queue_.ClaimAhead(limit).get();
        } else {
          workers_.Drain();
          batch = queue_.ClaimNext(limit);
          handed_since_claim_next_ = 0;
        }
        for (OutgoingMessage& m : batch) claimed_.push_back(std::move(m));
      } catch (const std::exception& e) {
        std::fprintf(stderr, "talvenixd: the queue failed: %s\n", e.what());
        queue_.WaitForWork(std::chrono::seconds(1));
        continue;
      }
      if (claimed_.empty()) {
        queue_.WaitForWork(std::chrono::milliseconds(100));
        continue;
      }
    }
    // The next batch is claimed as soon as this one is taken, so its commit
    // (and fsync, behind the accepted messages') has a whole batch of sends
    // to finish in and does not hold up sending on a slow disk.
    if (!throttled && !ahead_.valid() && claimed_.size() <= kClaimBatch &&
        handed_since_claim_next_ < kSendsBetweenJournalEmptying)
      ahead_ = queue_.ClaimAhead(kClaimBatch);
    if (throttled) {
      std::this_thread::sleep_until(next_send);
      next_send = std::max(next_send, std::chrono::steady_clock::now()) + gap_;
    }
    TalvexSmsRequest* request = nullptr;
    try {
      request = Hand(claimed_.front());
    } catch (const ClaimLost& e) {
      // Another daemon took the message back while this one was not seen:
      // it is not sent here.
      std::fprintf(stderr, "talvenixd: %s\n", e.what());
      claimed_.pop_front();
      continue;
    }
    if (!request) {
      // Nothing goes to the module that the journal does not name: sending
      // stops until the journal takes the id again.
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      continue;
    }
    if (workers_.size() > 0)
      workers_.Run([this, request] { Deliver(request); });
    else
      Deliver(request);
    claimed_.pop_front();
    ++handed_since_claim_next_;
  }
  run_call();
  workers_.Drain();
  if (running_) StopEngine();
  std::lock_guard lock(calls_mutex_);
  call_done_.notify_all();
}

TalvexSmsRequest* Dispatcher::Hand(const OutgoingMessage& message) {
  auto flight = std::make_unique<InFlight>();
  flight->id = message.id;
  flight->to = message.to;
  flight->text = Utf8ToUtf16(message.text);
  flight->text.push_back(u'\0');
  // Value-initialised: the driver area is zero, so a receipt found there is this send's.
  TalvexSmsRequest& r = flight->request;
  r.text = flight->text.data();
  r.text_capacity = static_cast<uint32_t>(flight->text.size());
  r.recipient = flight->to.c_str();
  std::u16string sender = Utf8ToUtf16(message.from);
  std::memcpy(r.sender_name, sender.data(), std::min(sender.size(), sizeof r.sender_name / 2 - 1) * sizeof(char16_t));
  try {
    queue_.MarkHanded(message.id);
  } catch (const ClaimLost&) {
    throw;
  } catch (const std::exception& e) {
    if (!journal_failing_)
      std::fprintf(stderr, "talvenixd: sending stops, message %s waits: %s\n", message.id.c_str(), e.what());
    journal_failing_ = true;
    return nullptr;
  }
  if (journal_failing_) std::fprintf(stderr, "talvenixd: the journal takes ids again: sending goes on\n");
  journal_failing_ = false;
  std::lock_guard lock(mutex_);
  flight->handed = std::chrono::steady_clock::now();
  in_flight_[&r] = std::move(flight);
  return &r;
}

void Dispatcher::Deliver(TalvexSmsRequest* request) {
  const TalvexSmsRequest* key = request;
  int32_t code = module_.SendSMS(request);
  // Under the lock, so an outcome that arrives meanwhile is recorded after
  // this one in the queue's order.
  std::lock_guard lock(mutex_);
  auto it = in_flight_.find(key);
  InFlight& f = *it->second;
  if (code == TALVEX_PENDING && !f.outcome_seen) {
    f.returned_pending = true;
    RecordCode(f, code);
    return;
  }
  if (!f.outcome_seen) {
    RecordReceipt(f);
    RecordCode(f, code);
  }
  in_flight_.erase(it);
}

void Dispatcher::RecordCode(const InFlight& f, int32_t code) {
  queue_.RecordCode(f.id, code, host::StatusName(code));
  if (code != TALVEX_PENDING)
    metrics_.Settled(code == TALVEX_OK,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - f.handed).count());
}

void Dispatcher::RecordReceipt(const InFlight& f) {
  if (!modem_lines_) return;  // other gateways never write one
  if (std::optional<SentReferences> sent = ReadReceipt(f.request)) queue_.RecordReferences(f.id, *sent);
}

int32_t Dispatcher::Callback(int32_t code, int32_t extra, uint32_t event_kind, uintptr_t context, void* data,
                             uint32_t data_kind) {
  reinterpret_cast<Dispatcher*>(context)->OnEvent(code, extra, event_kind, data, data_kind);
  return 0;
}

namespace {
std::string Text8(const TalvexText& t) { return t.text ? std::string(t.text) : std::string(); }
std::string Text16(const TalvexText16& t) { return t.text ? Utf16ToUtf8(t.text) : std::string(); }
}  // namespace

void Dispatcher::OnEvent(int32_t code, int32_t extra, uint32_t event_kind, void* data, uint32_t data_kind) {
  if (event_kind == TALVEX_EVENT_OUTCOME && data) {
    std::lock_guard lock(mutex_);
    auto it = in_flight_.find(static_cast<const TalvexSmsRequest*>(data));
    if (it == in_flight_.end()) return;  // not ours, or already settled
    if (code != TALVEX_PENDING) RecordReceipt(*it->second);
    RecordCode(*it->second, code);
    if (code == TALVEX_PENDING) return;
    if (it->second->returned_pending)
      in_flight_.erase(it);
    else
      it->second->outcome_seen = true;
  } else if (event_kind == TALVEX_EVENT_RECEIVED && data) {
    const auto& m = *static_cast<const TalvexReceivedMessage*>(data);
    if (data_kind == TALVEX_DATA_STATUS_REPORT) {
      // A modem line's report names its line only as the callback's extra.
      const bool modem = m.service_flag == TALVEX_SERVICE_GSM;
      queue_.RecordStatusReport({m.report_reference, m.report_status, modem ? static_cast<uint32_t>(extra) : m.line,
                                 Text8(m.originator), Text8(m.report_text), modem});
    } else {
      queue_.RecordIncoming({Text8(m.originator), Text16(m.text), m.line});
    }
  } else if (event_kind == TALVEX_EVENT_LINE_STATE && data) {
    const auto& line = *static_cast<const TalvexLineRecord*>(data);
    size_t n = 0;
    while (n < TALVEX_LINE_TEXT_CHARS && line.line_name[n]) ++n;
    std::lock_guard lock(mutex_);
    lines_[line.comport] = {line.comport, Utf16ToUtf8(std::u16string_view(line.line_name, n)), line.status, code,
                            NowMs()};
  }
}

std::vector<LineState> Dispatcher::Lines() {
  std::lock_guard lock(mutex_);
  std::vector<LineState> out;
  for (const auto& [port, line] : lines_) out.push_back(line);
  return out;
}

std::string Dispatcher::Gateway() {
  std::lock_guard lock(mutex_);
  return gateway_;
}

}  // namespace talvenix::daemon
