// SPDX-License-Identifier: Apache-2.0
#pragma once
// One modem line: a thread that owns the serial device and runs the line's
// state machine (open, initialise, wait for the network, serve sends and
// indications, poll the SIM, re-initialise after a modem restart, reopen with
// backoff after a loss). Every callback to the module comes from this thread;
// no lock is held while calling back.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "drivers/at/at_reader.hpp"
#include "drivers/at/at_settings.hpp"
#include "drivers/at/line_failures.hpp"
#include "drivers/at/pdu.hpp"
#include "platform/serial_port.hpp"
#include "talvenix/gsm_driver.h"

namespace talvenix::at {

// A send request as the line keeps it: the text was copied when it was queued.
struct SendJob {
  TalvexSmsRequest* request = nullptr;  // the host's; handed back with the outcome
  TalvexDriverCallback callback = nullptr;
  std::string recipient;
  std::u16string text;
  bool allow_ucs2 = true;
  uint16_t concat_reference = 0;
  // Held for a ready line until then; failed when no line became ready.
  // The wait is `hold_for` from the send, or from when its line stopped
  // being ready, whichever is later.
  std::chrono::steady_clock::time_point hold_until;
  std::chrono::milliseconds hold_for{0};
};

// Offers a job to another ready line of the driver; true when one took it.
using Handoff = std::function<bool(SendJob&)>;

class AtLine : public std::enable_shared_from_this<AtLine> {
 public:
  enum class Phase { kStarting, kReady, kFailed };

  AtLine(const TalvexDriverLineRecord& record, const Timing& timing, Handoff handoff);
  ~AtLine();
  AtLine(const AtLine&) = delete;
  AtLine& operator=(const AtLine&) = delete;

  void Start();
  // Asks the thread to end without waiting (Stop = RequestStop + Join).
  void RequestStop(int32_t pending_code);
  void Join();
  // Ends the thread: queued sends get `pending_code`, unfinished incoming
  // messages are delivered as they are. From the line's own thread it only
  // asks the thread to end.
  void Stop(int32_t pending_code);
  // Queues a send, also while the line is not ready (it is held until its
  // hold_until); false when the line stops (nothing queued).
  bool Enqueue(SendJob job);

  Phase phase() const { return phase_.load(); }
  const TalvexDriverLineRecord& record() const { return record_; }
  uint32_t comport() const { return record_.comport; }

 private:
  struct Answer {
    enum Result { kOk, kError, kTimeout, kGone, kStopped } result = kTimeout;
    int code = -1;
    bool cms = false;
    bool written = false;     // the PDU went to the modem at its prompt
    int late_reference = -1;  // "+CMGS: <mr>" that came while the line was brought back in step
    std::vector<std::string> lines;
  };
  // The command the line waits on, and what makes an answer its own.
  struct Exchange {
    std::string command;
    std::string pdu;          // written at the prompt
    std::string expect;       // its answer lines start so ("+CMGS:"); status codes so named count as answer lines
    bool needs_line = false;  // an OK without an expected line before it is stale
    bool prompted = false;
    bool seen_line = false;
  };
  // A message on the modem's storage.
  struct Stored {
    std::string memory;
    int index = -1;
  };
  struct SentPart {
    std::string recipient;
    std::u16string text;  // the whole message the part belongs to
    size_t part = 0, parts = 0;
  };
  // A submission given up on after its PDU went out: the modem still owes its
  // "+CMGS:" or "+CMS ERROR", and answers in the order it was asked.
  struct OwedSubmit {
    SentPart part;
    std::chrono::steady_clock::time_point given_up;
    bool in_hand = false;  // the send that gave it up is still being decided
  };
  struct Partial {
    std::string originator;
    uint8_t total = 0;
    std::map<uint8_t, std::u16string> parts;
    std::vector<Stored> stored;  // parts kept on the SIM until the message reached the host
    std::chrono::steady_clock::time_point first;
  };

  void Run();
  bool OpenDevice();
  bool Initialise();
  bool UnlockSim();
  bool AwaitNetwork();
  int Registration();
  void Serve();
  void Poll();
  void Lost(int32_t failure, const char* why);
  bool Fail(int32_t failure, const char* why);
  void ReportState(int32_t code);
  void FailQueued(int32_t code);
  void HandOffQueued();
  void RestartHolds();
  void ExpireHeld();
  void WaitFor(uint32_t ms);
  std::optional<SendJob> NextJob();
  bool Stopping() const { return stopping_.load(); }

  // A command and its answer; after a time-out the line is brought back in step.
  Answer Command(const std::string& command, uint32_t timeout_ms);
  Answer Command(Exchange exchange, uint32_t timeout_ms);
  // A command the modem may refuse for a moment after it started (SIM busy, not ready).
  Answer Insist(const std::string& command, uint32_t timeout_ms);
  static bool NotReadyYet(const Answer& a);
  Answer Transact(Exchange& exchange, uint32_t timeout_ms);
  bool Resync();
  // Sets aside what an answer owed by a command given up on (`text` its line);
  // true when the event is that answer and not the running command's.
  bool OwedAnswer(const AtEvent& e, const Exchange* ex);
  bool Pump(uint32_t timeout_ms, Answer& answer, Exchange* exchange);
  void HandleIndications();
  void ReadStored(const std::string& memory, int index);
  void ListStored(bool deliver);
  void DeleteStored(const Stored& at);
  bool Held(const Stored& at) const;
  bool SwitchMemory(const std::string& memory);
  void HandlePdu(const std::string& pdu, int length, const char* source, const Stored& at);
  void HandleDeliver(const Deliver& d, const Stored& at);
  // Delivers the report and then deletes it from storage; while a send is in
  // hand it is held, so that it never overtakes that message's outcome.
  void HandleReport(const StatusReport& r, const Stored& at);
  void ReleaseReports();
  bool DeliverText(const std::string& originator, const std::u16string& text);
  void FlushPartials(bool all);
  // Sends the job's parts and leaves their references in the request's receipt.
  int32_t Send(const SendJob& job);
  // `receipt` becomes the part's reference, or a marker when it has none.
  int32_t SendPart(const SendJob& job, const SubmitPart& part, size_t number, size_t parts, uint16_t& receipt);
  std::string CnmiParameters() const;

  const TalvexDriverLineRecord record_;
  const Timing timing_;
  const Handoff handoff_;
  std::string name_;  // "COM<N>" for log lines

  std::mutex mutex_;  // guards queue_ and accepting_
  std::deque<SendJob> queue_;
  bool accepting_ = true;
  std::atomic<bool> stopping_{false};
  std::atomic<int32_t> stop_code_{12};
  std::atomic<Phase> phase_{Phase::kStarting};
  platform::Waker waker_;
  std::thread thread_;

  // Owned by the line's thread.
  platform::SerialPort port_;
  AtReader reader_;
  std::deque<AtEvent> indications_;
  std::map<uint8_t, SentPart> sent_;  // by TP-MR
  std::map<std::string, Partial> partials_;
  bool lost_ = false;
  bool restarted_ = false;     // the modem announced a restart: initialise it again
  bool unregistered_ = false;  // the poll found no network: wait for it again
  bool pin_refused_ = false;   // never offered again: three wrong tries lock the SIM
  int late_reference_ = -1;    // +CMGS of a submission that answered after its time limit (scratch of Resync)
  // Answers the modem owes for commands given up on, oldest first; only what
  // comes after them can be a later command's.
  std::deque<OwedSubmit> owed_submits_;
  std::map<std::string, int> owed_lines_;  // by answer prefix ("+CMGF:") of probes that timed out
  int owed_oks_ = 0;                       // the OK after an owed answer line
  SentPart submitting_;                    // the part of the submission running now
  size_t next_probe_ = 0;
  int32_t failure_ = kFailDeviceMissing;
  bool holding_reports_ = false;  // a send is in hand
  std::vector<std::pair<StatusReport, Stored>> held_reports_;
  bool acknowledge_ = false;  // the modem wants AT+CNMA after +CMT/+CDS
  bool report_request_ = true;
  std::string memory_ = "SM";
  int32_t last_state_ = -1;
  std::chrono::steady_clock::time_point next_poll_;
};

}  // namespace talvenix::at
