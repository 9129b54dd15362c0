// SPDX-License-Identifier: Apache-2.0
// The simulator driver's state, its six entry points and the controls of
// gsm_sim.h. One lock guards the state; it is never held while a line's
// thread is joined or while the module is called back.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "drivers/sim/gsm_sim.h"
#include "drivers/sim/sim_line.hpp"
#include "support/text_codec.hpp"

namespace talvenix::sim {
namespace {

struct Settings {
  // GSMSIM_DEMO set: every line greets with one incoming message once it is
  // ready, and every message sent is followed by its status report;
  // GSMSIM_DEMO=fail: every message sent fails a moment later instead;
  // GSMSIM_DEMO=noreference: sends leave their reference unknown in the
  // receipt, like a modem whose answer came too late, and still get reports.
  bool demo = std::getenv("GSMSIM_DEMO") != nullptr;
  bool demo_fails = demo && std::string_view(std::getenv("GSMSIM_DEMO")) == "fail";
  bool demo_no_reference = demo && std::string_view(std::getenv("GSMSIM_DEMO")) == "noreference";
  int32_t init_result = 0;
  std::map<uint32_t, int32_t> line_results;
  int32_t auto_line_state = 0;
  int32_t send_immediate = 0;
  int32_t send_final = 0;
  uint32_t send_delay_ms = 0;
};

// Work queued or running on any line; WaitIdle waits for it to reach zero.
class Outstanding {
 public:
  void Add() {
    std::lock_guard lock(mutex_);
    ++count_;
  }
  void Done() {
    {
      std::lock_guard lock(mutex_);
      --count_;
    }
    idle_.notify_all();
  }
  bool WaitIdle(uint32_t timeout_ms) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return count_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  long count_ = 0;
};

class Simulator {
 public:
  std::mutex mutex;
  Settings settings;
  bool initialised = false;
  std::map<uint32_t, std::unique_ptr<Line>> lines;
  std::map<uint32_t, TalvexDriverLineRecord> last_records;
  std::vector<std::string> calls;
  uint8_t next_reference = 0;  // TP-MR of the next message, counting from 0 like a modem
  Outstanding outstanding;

  void Record(std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
  }

  std::unique_ptr<Line> NewLine(const TalvexDriverLineRecord& record) {
    return std::make_unique<Line>(record, [this] { outstanding.Done(); });
  }

  // Posts work to the line of `comport`; false when it does not run.
  bool Post(uint32_t comport, Line::Work work, std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    std::lock_guard lock(mutex);
    auto it = lines.find(comport);
    if (it == lines.end()) return false;
    outstanding.Add();
    it->second->Post(std::move(work), delay);
    return true;
  }

  // Stops lines outside the lock: their last work items call the module.
  static void StopAll(std::vector<std::unique_ptr<Line>> stopping) {
    for (auto& line : stopping) {
      line->Stop();
      if (line->OnOwnThread()) (void)line.release();  // its thread still runs; it must outlive it
    }
  }

  std::vector<std::unique_ptr<Line>> TakeLines() {
    std::vector<std::unique_ptr<Line>> taken;
    for (auto& [port, line] : lines) taken.push_back(std::move(line));
    lines.clear();
    return taken;
  }
};

Simulator& Sim() {
  static Simulator* sim = new Simulator();  // never destroyed: line threads may outlive static destruction
  return *sim;
}

std::string Utf8Of(const char16_t* text, size_t limit) {
  return text ? Utf16ToUtf8(std::u16string_view(text, Utf16Length(text, limit))) : std::string();
}

// A one-part message's receipt.
void WriteReceipt(TalvexSmsRequest* request, uint32_t comport, uint16_t reference) {
  TalvexSendReceipt receipt{};
  receipt.magic = TALVEX_RECEIPT_MAGIC;
  receipt.comport = comport;
  receipt.parts = 1;
  receipt.reference[0] = reference;
  std::memcpy(request->driver_area, &receipt, sizeof receipt);
}

constexpr int32_t kAborted = 12;
constexpr int32_t kPortBusy = 17;

}  // namespace
}  // namespace talvenix::sim

using namespace talvenix;
using namespace talvenix::sim;

extern "C" {

// ---- The six entry points ----------------------------------------------------

TALVEX_EXPORT int32_t TALVEX_CALL gsmdrvInit(void) {
  Simulator& sim = Sim();
  std::lock_guard lock(sim.mutex);
  sim.calls.push_back("init");
  if (sim.settings.init_result == 0) sim.initialised = true;
  return sim.settings.init_result;
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmdrvShutdown(void) {
  Simulator& sim = Sim();
  std::vector<std::unique_ptr<Line>> stopping;
  {
    std::lock_guard lock(sim.mutex);
    sim.calls.push_back("shutdown");
    sim.initialised = false;
    stopping = sim.TakeLines();
  }
  Simulator::StopAll(std::move(stopping));
  return 0;
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmdrvaddGSMline(TalvexDriverLineRecord* record) {
  if (!record) return TALVEX_INVALID_PARAMETER;
  Simulator& sim = Sim();
  std::lock_guard lock(sim.mutex);
  sim.calls.push_back("add " + std::to_string(record->comport) + " " + std::to_string(record->baudrate));
  sim.last_records[record->comport] = *record;
  if (!sim.initialised) return TALVEX_NOT_INITIALISED;
  if (sim.lines.count(record->comport)) return kPortBusy;
  auto result = sim.settings.line_results.find(record->comport);
  int32_t code = result == sim.settings.line_results.end() ? 0 : result->second;
  if (code != TALVEX_OK && code != TALVEX_PENDING) return code;
  auto& line = sim.lines[record->comport] = sim.NewLine(*record);
  if (sim.settings.auto_line_state >= 0) {
    int32_t state = sim.settings.auto_line_state;
    sim.outstanding.Add();
    line->Post([state](const TalvexDriverLineRecord& r, bool aborted) {
      if (!aborted && r.callback)
        r.callback(state, static_cast<int32_t>(r.comport), TALVEX_DRV_LINE_STATE, r.context, nullptr, 0);
    });
  }
  if (sim.settings.demo) {
    sim.outstanding.Add();
    line->Post(
        [](const TalvexDriverLineRecord& r, bool aborted) {
          if (aborted || !r.callback) return;
          std::u16string text = Utf8ToUtf16("Hello from the simulated modem on COM" + std::to_string(r.comport));
          TalvexDriverIncomingSms sms{text.c_str(), "+15550199", r.comport};
          r.callback(0, static_cast<int32_t>(r.comport), TALVEX_DRV_RECEIVED, r.context, &sms, TALVEX_DATA_SMS);
        },
        std::chrono::milliseconds(500));
  }
  return code;
}

#ifndef GSMSIM_WITHOUT_REINIT
TALVEX_EXPORT int32_t TALVEX_CALL gsmdrvreinitGSMline(uint32_t comport) {
  Sim().Record("reinit " + std::to_string(comport));
  return 0;
}
#endif

TALVEX_EXPORT int32_t TALVEX_CALL gsmdrvuninitGSMline(uint32_t comport, uint32_t one) {
  Simulator& sim = Sim();
  std::vector<std::unique_ptr<Line>> stopping;
  {
    std::lock_guard lock(sim.mutex);
    sim.calls.push_back("uninit " + std::to_string(comport) + " " + std::to_string(one));
    auto it = sim.lines.find(comport);
    if (it == sim.lines.end()) return 1;
    stopping.push_back(std::move(it->second));
    sim.lines.erase(it);
  }
  Simulator::StopAll(std::move(stopping));
  return 0;
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmdrvSendSMS(uint32_t value, TalvexSmsRequest* request) {
  if (!request) return TALVEX_INVALID_PARAMETER;
  Simulator& sim = Sim();
  std::lock_guard lock(sim.mutex);
  std::string recipient = request->recipient ? std::string(request->recipient) : std::string();
  // The part is the engine's terminated text; the host's buffer is bounded by its capacity.
  std::string text = request->part ? Utf8Of(request->part, static_cast<size_t>(-1))
                                   : Utf8Of(request->text, request->text_capacity);
  sim.calls.push_back("send " + std::to_string(value) + " " + recipient + " " + text);
  if (!sim.initialised) return TALVEX_NOT_INITIALISED;
  // The lowest port that may send carries the message.
  auto sender = std::find_if(sim.lines.begin(), sim.lines.end(),
                             [](const auto& entry) { return entry.second->record().can_send != 0; });
  if (sender == sim.lines.end()) return TALVEX_FAILED;
  Settings s = sim.settings;
  const uint32_t comport = sender->first;
  const uint8_t reference = sim.next_reference++;
  const uint16_t receipt = s.demo_no_reference ? TALVEX_RECEIPT_UNKNOWN : reference;
  if (s.demo && s.send_immediate == TALVEX_OK) {
    // Like a modem: accepted first, sent a moment later, then delivered.
    s.send_immediate = TALVEX_PENDING;
    s.send_delay_ms = 200;
    if (s.demo_fails) s.send_final = TALVEX_FAILED;
  }
  if (s.demo && s.send_immediate == TALVEX_PENDING && !s.demo_fails) {
    sim.outstanding.Add();
    sender->second->Post(
        [reference, recipient](const TalvexDriverLineRecord& r, bool aborted) {
          if (aborted || !r.callback) return;
          std::u16string text = u"delivered";
          TalvexDriverStatusReport report{reference, 0, recipient.c_str(), "", text.c_str()};
          r.callback(0, static_cast<int32_t>(r.comport), TALVEX_DRV_RECEIVED, r.context, &report,
                     TALVEX_DATA_STATUS_REPORT);
        },
        std::chrono::milliseconds(400));
  }
  if (s.send_immediate != TALVEX_PENDING) {
    if (s.send_immediate == TALVEX_OK) WriteReceipt(request, comport, receipt);
    return s.send_immediate;
  }
  int32_t final_code = s.send_final;
  auto callback = reinterpret_cast<TalvexDriverCallback>(request->driver_callback);
  sim.outstanding.Add();
  sender->second->Post(
      [final_code, callback, request, receipt](const TalvexDriverLineRecord& r, bool aborted) {
        if (!aborted && final_code == TALVEX_OK) WriteReceipt(request, r.comport, receipt);
        TalvexDriverCallback target = callback ? callback : r.callback;
        if (target)
          target(aborted ? kAborted : final_code, static_cast<int32_t>(r.comport), TALVEX_DRV_SEND_OUTCOME, r.context,
                 request, TALVEX_DATA_REQUEST);
      },
      std::chrono::milliseconds(s.send_delay_ms));
  return TALVEX_PENDING;
}

// ---- Controls ----------------------------------------------------------------------

TALVEX_EXPORT void TALVEX_CALL gsmsim_Reset(void) {
  Simulator& sim = Sim();
  std::vector<std::unique_ptr<Line>> stopping;
  {
    std::lock_guard lock(sim.mutex);
    stopping = sim.TakeLines();
  }
  {
    std::lock_guard lock(sim.mutex);
    sim.settings = Settings{};
    sim.initialised = false;
    sim.last_records.clear();
    sim.calls.clear();
    sim.next_reference = 0;
  }
  Simulator::StopAll(std::move(stopping));
}

TALVEX_EXPORT void TALVEX_CALL gsmsim_SetInitResult(int32_t code) {
  std::lock_guard lock(Sim().mutex);
  Sim().settings.init_result = code;
}

TALVEX_EXPORT void TALVEX_CALL gsmsim_SetLineResult(uint32_t comport, int32_t code) {
  std::lock_guard lock(Sim().mutex);
  Sim().settings.line_results[comport] = code;
}

TALVEX_EXPORT void TALVEX_CALL gsmsim_SetAutoLineState(int32_t code) {
  std::lock_guard lock(Sim().mutex);
  Sim().settings.auto_line_state = code;
}

TALVEX_EXPORT void TALVEX_CALL gsmsim_SetSendResult(int32_t immediate, int32_t final_code, uint32_t delay_ms) {
  std::lock_guard lock(Sim().mutex);
  Sim().settings.send_immediate = immediate;
  Sim().settings.send_final = final_code;
  Sim().settings.send_delay_ms = delay_ms;
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_ReportLineState(uint32_t comport, int32_t code) {
  bool posted = Sim().Post(comport, [code](const TalvexDriverLineRecord& r, bool aborted) {
    if (!aborted && r.callback)
      r.callback(code, static_cast<int32_t>(r.comport), TALVEX_DRV_LINE_STATE, r.context, nullptr, 0);
  });
  return posted ? 1 : -1;
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_DeliverSms(uint32_t comport, const char* originator, const char* text,
                                                    uint32_t line_value) {
  std::string from = originator ? originator : "";
  std::u16string body = Utf8ToUtf16(text ? text : "");
  bool posted = Sim().Post(comport, [from, body, line_value](const TalvexDriverLineRecord& r, bool aborted) {
    if (aborted || !r.callback) return;
    TalvexDriverIncomingSms sms{body.c_str(), from.c_str(), line_value};
    r.callback(0, static_cast<int32_t>(r.comport), TALVEX_DRV_RECEIVED, r.context, &sms, TALVEX_DATA_SMS);
  });
  return posted ? 1 : -1;
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_DeliverStatusReport(uint32_t comport, uint32_t reference, uint32_t status,
                                                             const char* recipient, const char* second_number,
                                                             const char* text) {
  std::string first = recipient ? recipient : "", second = second_number ? second_number : "";
  std::u16string body = Utf8ToUtf16(text ? text : "");
  bool posted = Sim().Post(comport, [=](const TalvexDriverLineRecord& r, bool aborted) {
    if (aborted || !r.callback) return;
    TalvexDriverStatusReport report{reference, status, first.c_str(), second.c_str(), body.c_str()};
    r.callback(0, static_cast<int32_t>(r.comport), TALVEX_DRV_RECEIVED, r.context, &report,
               TALVEX_DATA_STATUS_REPORT);
  });
  return posted ? 1 : -1;
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_Inject(uint32_t comport, int32_t code, int32_t line, uint32_t kind,
                                                uint32_t data_kind, int32_t with_data) {
  bool posted = Sim().Post(comport, [=](const TalvexDriverLineRecord& r, bool aborted) {
    if (aborted || !r.callback) return;
    alignas(8) unsigned char zeroed[256] = {};
    r.callback(code, line, kind, r.context, with_data ? zeroed : nullptr, data_kind);
  });
  return posted ? 1 : -1;
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_DeliverBurst(uint32_t comport, uint32_t count, const char* originator,
                                                      const char* text, TalvexDriverCallback target) {
  std::string from = originator ? originator : "";
  std::u16string body = Utf8ToUtf16(text ? text : "");
  std::mutex done_mutex;
  std::condition_variable done_cv;
  bool done = false;
  bool posted = Sim().Post(comport, [&](const TalvexDriverLineRecord& r, bool aborted) {
    TalvexDriverCallback call = target ? target : r.callback;
    if (!aborted && call) {
      for (uint32_t i = 0; i < count; ++i) {
        TalvexDriverIncomingSms sms{body.c_str(), from.c_str(), r.comport};
        call(0, static_cast<int32_t>(r.comport), TALVEX_DRV_RECEIVED, r.context, &sms, TALVEX_DATA_SMS);
      }
    }
    {
      std::lock_guard lock(done_mutex);
      done = true;
    }
    done_cv.notify_all();
  });
  if (!posted) return -1;
  std::unique_lock lock(done_mutex);
  done_cv.wait(lock, [&] { return done; });
  return static_cast<int32_t>(count);
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_WaitIdle(uint32_t timeout_ms) {
  return Sim().outstanding.WaitIdle(timeout_ms) ? 1 : 0;
}

TALVEX_EXPORT uint32_t TALVEX_CALL gsmsim_CallLog(char* buffer, uint32_t size) {
  std::string log;
  {
    std::lock_guard lock(Sim().mutex);
    for (const std::string& call : Sim().calls) log += call + "\n";
  }
  if (buffer && size > 0) CopyBounded(buffer, size, log);
  return static_cast<uint32_t>(log.size() + 1);
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_LastLineRecord(uint32_t comport, TalvexDriverLineRecord* out) {
  std::lock_guard lock(Sim().mutex);
  auto it = Sim().last_records.find(comport);
  if (it == Sim().last_records.end() || !out) return 0;
  *out = it->second;
  return 1;
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_RunningLines(void) {
  std::lock_guard lock(Sim().mutex);
  return static_cast<int32_t>(Sim().lines.size());
}

}  // extern "C"
