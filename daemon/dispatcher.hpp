// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one thread that calls the module's exports: InitTalvex, SendSMS one
// message at a time, Update on reload, Unint at the end. Where the running
// gateway takes several sends at once, up to `parallel` of them run on
// sender threads, never beside another export. The module's callback
// arrives on the module's own threads; it only hands events to the queue
// (which never waits there) and notes line states.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/message_queue.hpp"
#include "daemon/running_metrics.hpp"
#include "daemon/send_workers.hpp"
#include "hostkit/module.hpp"
#include "support/text_fit.hpp"

namespace talvenix::daemon {

struct LineState {
  uint32_t comport = 0;
  std::string name;
  uint32_t status = 0;  // TalvexLineStatus
  int32_t code = 0;
  int64_t at_ms = 0;
};

class Dispatcher {
 public:
  Dispatcher(host::Module& module, MessageQueue& queue, double messages_per_second, int parallel,
             RunningMetrics& metrics);
  ~Dispatcher();

  // Starts the engine on the dispatcher's thread; false with the code when
  // InitTalvex fails (the thread is not left running then).
  bool Start(int32_t& code);
  // Re-reads the module's configuration (Update); on 124 restarts the engine,
  // and starts an engine that had failed to restart. Returns the code of
  // Update, or of InitTalvex when a start failed.
  int32_t Reload();
  // Finishes the message in hand, stops the engine (Unint) and the thread.
  void Stop();

  // Takes a new throttle (messages per second, 0 for none) between two sends.
  void SetRate(double messages_per_second);
  // Takes a new limit of sends in flight at once, between two sends.
  void SetParallel(int parallel);
  // The sends in flight at most now: 1 unless the gateway takes several.
  int Parallel() const { return in_parallel_; }
  // False when the dispatcher's loop has not come round for `limit`: a send
  // or the module hangs.
  bool Answering(std::chrono::milliseconds limit) const;

  std::vector<LineState> Lines();
  bool EngineRunning() const { return running_; }
  std::string Gateway();  // the selected service, as the options record names it
  // What the running gateway does with a message's text and sender; none
  // while no engine runs. Any thread.
  struct GatewayRules {
    sms::FitRules split;
    bool own_sender;        // sends with the sender of its own settings
    bool concurrent_sends;  // takes several sends at once
  };
  std::optional<GatewayRules> Rules();

 private:
  struct InFlight;
  static int32_t TALVEX_CALL Callback(int32_t code, int32_t extra, uint32_t event_kind, uintptr_t context, void* data,
                                      uint32_t data_kind);
  void OnEvent(int32_t code, int32_t extra, uint32_t event_kind, void* data, uint32_t data_kind);
  int32_t StartEngine();
  // Copies what other threads may ask of the options record (dispatcher's thread).
  void TakeOptions();
  // Unint; then what the engine held without an outcome is unknown.
  void StopEngine();
  void Loop();
  // Names the message in the journal and keeps its request until its
  // outcome; null when the journal refused it (it is not sent then).
  // Throws ClaimLost when the message is no longer this daemon's.
  TalvexSmsRequest* Hand(const OutgoingMessage& message);
  // SendSMS and its code: on the dispatcher's thread, or a sender's.
  void Deliver(TalvexSmsRequest* request);
  // The senders the gateway and `parallel_` allow (dispatcher's thread).
  void SizeWorkers();
  // At a send's outcome: the references a modem line left in the request.
  void RecordReceipt(const InFlight& flight);
  // Records a send's code in the queue and, once it is final, how long it took.
  void RecordCode(const InFlight& flight, int32_t code);
  // Runs `call` on the dispatcher's thread, between two sends.
  int32_t OnThread(std::function<int32_t()> call);

  host::Module& module_;
  MessageQueue& queue_;
  RunningMetrics& metrics_;
  static std::chrono::nanoseconds Gap(double messages_per_second);

  std::chrono::nanoseconds gap_{0};
  int parallel_ = 1;                 // as configured
  std::atomic<int> in_parallel_{1};  // as the running gateway allows
  SendWorkers workers_;
  std::atomic<int64_t> beat_ms_{0};  // when the loop last came round
  TalvexGenericOptions* options_ = nullptr;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::deque<OutgoingMessage> claimed_;              // taken from the queue, not yet handed (dispatcher's thread only)
  std::future<std::vector<OutgoingMessage>> ahead_;  // the next batch, claimed while this one is sent
  int handed_since_claim_next_ = 0;                  // sends since the journal was last emptied
  bool journal_failing_ = false;                     // the last journal write failed: sending stopped

  std::mutex calls_mutex_;
  std::function<int32_t()> call_;
  std::condition_variable call_done_;
  bool call_finished_ = false;
  int32_t call_result_ = 0;

  std::mutex mutex_;  // guards what the callback touches
  std::map<const TalvexSmsRequest*, std::unique_ptr<InFlight>> in_flight_;
  std::map<uint32_t, LineState> lines_;
  std::string gateway_;
  std::optional<GatewayRules> rules_;
  std::atomic<bool> modem_lines_{false};  // the engine runs the modem line gateway: requests carry receipts
};

}  // namespace talvenix::daemon
