#pragma once
// One modem line: a thread that owns the serial device and runs the line's
// state machine (open, initialise, serve sends and indications, keep alive,
// reopen with backoff after a loss). Every callback to the module comes from
// this thread; no lock is held while calling back.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
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
};

class AtLine : public std::enable_shared_from_this<AtLine> {
 public:
  enum class Phase { kStarting, kReady, kFailed };

  AtLine(const TalvexDriverLineRecord& record, const Timing& timing);
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
  // Queues a send; false when the line stops or has failed (nothing queued).
  bool Enqueue(SendJob job);

  Phase phase() const { return phase_.load(); }
  const TalvexDriverLineRecord& record() const { return record_; }
  uint32_t comport() const { return record_.comport; }

 private:
  struct Answer {
    enum Result { kOk, kError, kTimeout, kGone, kStopped } result = kTimeout;
    int code = -1;
    bool cms = false;
    std::vector<std::string> lines;
  };
  struct SentPart {
    std::string recipient;
    std::u16string text;  // the whole message the part belongs to
    size_t part = 0, parts = 0;
  };
  struct Partial {
    std::string originator;
    uint8_t total = 0;
    std::map<uint8_t, std::u16string> parts;
    std::chrono::steady_clock::time_point first;
  };

  void Run();
  bool OpenDevice();
  bool Initialise();
  void Serve();
  void Lost(int32_t failure, const char* why);
  bool Fail(int32_t failure, const char* why);
  void ReportState(int32_t code);
  void FailQueued(int32_t code);
  bool Stopping() const { return stopping_.load(); }

  Answer Command(const std::string& command, uint32_t timeout_ms, const std::string& pdu = {});
  bool Pump(uint32_t timeout_ms, Answer& answer, const std::string& command, const std::string& pdu, bool& prompted);
  void HandleIndications();
  void ReadStored(const std::string& memory, int index);
  void ListStored(bool deliver);
  void DeleteStored(int index);
  void HandlePdu(const std::string& pdu, int length, const char* source);
  void HandleDeliver(const Deliver& d);
  void HandleReport(const StatusReport& r);
  void DeliverText(const std::string& originator, const std::u16string& text);
  void FlushPartials(bool all);
  int32_t Send(const SendJob& job);
  std::string CnmiParameters() const;

  const TalvexDriverLineRecord record_;
  const Timing timing_;
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
  uint32_t silent_commands_ = 0;
  bool lost_ = false;
  int32_t failure_ = kFailDeviceMissing;
  bool acknowledge_ = false;  // the modem wants AT+CNMA after +CMT/+CDS
  bool report_request_ = true;
  std::string memory_ = "SM";
  int32_t last_state_ = -1;
  std::chrono::steady_clock::time_point last_activity_;
};

}  // namespace talvenix::at
