// SPDX-License-Identifier: Apache-2.0
// The six entry points of the AT-command driver. One lock guards the list of
// lines; it is never held while a line's thread is joined, so a line may call
// back into the module (and the module into us) while another line stops.

#include <memory>
#include <mutex>
#include <vector>

#include "drivers/at/at_line.hpp"
#include "drivers/at/at_settings.hpp"
#include "support/text_codec.hpp"
#include "talvenix/gsm_driver.h"

namespace talvenix::at {
namespace {

constexpr int32_t kAborted = 12;
constexpr int32_t kLineExists = 17;

struct Driver {
  std::mutex mutex;
  bool initialised = false;
  Timing timing;
  std::vector<std::shared_ptr<AtLine>> lines;  // in the order they were added
  size_t next = 0;                             // where the next send starts looking
  uint16_t concat_reference = 0;
};

Driver& TheDriver() {
  static Driver* driver = new Driver();  // never destroyed: a line thread may outlive static destruction
  return *driver;
}

std::shared_ptr<AtLine> TakeLine(Driver& d, uint32_t comport) {
  for (auto it = d.lines.begin(); it != d.lines.end(); ++it) {
    if ((*it)->comport() != comport) continue;
    std::shared_ptr<AtLine> line = *it;
    d.lines.erase(it);
    return line;
  }
  return nullptr;
}

bool CanCarry(const AtLine& line, const SendJob& job) {
  bool international = !job.recipient.empty() && job.recipient[0] == '+';
  const TalvexDriverLineRecord& r = line.record();
  return r.can_send && (!international || r.international_numbers);
}

// Ready lines first, in turn; then, unless `ready_only`, a line that is not
// ready yet holds the job until it is (or until the job's hold runs out).
// Called holding the lock.
bool Route(Driver& d, SendJob& job, bool ready_only, const AtLine* except) {
  for (bool ready : {true, false}) {
    if (!ready && ready_only) break;
    for (size_t i = 0; i < d.lines.size(); ++i) {
      size_t n = (d.next + i) % d.lines.size();
      AtLine& line = *d.lines[n];
      if (&line == except || !CanCarry(line, job) || (line.phase() == AtLine::Phase::kReady) != ready) continue;
      if (line.Enqueue(job)) {
        d.next = n + 1;
        return true;
      }
    }
  }
  return false;
}

// A line that went down offers its waiting sends to the ready lines.
bool HandOff(uint32_t comport, SendJob& job) {
  Driver& d = TheDriver();
  std::lock_guard lock(d.mutex);
  for (auto& line : d.lines)
    if (line->comport() == comport) return Route(d, job, true, line.get());
  return false;
}

}  // namespace
}  // namespace talvenix::at

using namespace talvenix;
using namespace talvenix::at;

extern "C" {

TALVEX_EXPORT int32_t TALVEX_CALL gsmdrvInit(void) {
  Driver& d = TheDriver();
  std::lock_guard lock(d.mutex);
  OpenLog();
  d.timing = TimingFromEnvironment();
  d.initialised = true;
  Log(2, "GSMDrv - initialised.");
  return TALVEX_OK;
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmdrvShutdown(void) {
  Driver& d = TheDriver();
  std::vector<std::shared_ptr<AtLine>> stopping;
  {
    std::lock_guard lock(d.mutex);
    d.initialised = false;
    stopping.swap(d.lines);
  }
  // Every line stops at once; the slowest one bounds the wait.
  for (auto& line : stopping) line->RequestStop(kAborted);
  for (auto& line : stopping) line->Join();
  Log(2, "GSMDrv - shut down.");
  CloseLog();
  return TALVEX_OK;
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmdrvaddGSMline(TalvexDriverLineRecord* record) {
  if (!record) return TALVEX_INVALID_PARAMETER;
  Driver& d = TheDriver();
  std::lock_guard lock(d.mutex);
  if (!d.initialised) return TALVEX_NOT_INITIALISED;
  for (auto& line : d.lines)
    if (line->comport() == record->comport) return kLineExists;
  uint32_t comport = record->comport;
  auto line = std::make_shared<AtLine>(*record, d.timing, [comport](SendJob& job) { return HandOff(comport, job); });
  d.lines.push_back(line);
  line->Start();
  Log(2, "GSMDrv - COM%u added (device %s).", record->comport, DevicePathOf(record->comport).c_str());
  return TALVEX_PENDING;  // the line reports ready or failed through the callback
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmdrvreinitGSMline(uint32_t comport) {
  Driver& d = TheDriver();
  std::shared_ptr<AtLine> old;
  {
    std::lock_guard lock(d.mutex);
    old = TakeLine(d, comport);
  }
  if (!old) return TALVEX_FAILED;
  old->Stop(kAborted);
  TalvexDriverLineRecord record = old->record();
  return gsmdrvaddGSMline(&record);
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmdrvuninitGSMline(uint32_t comport, uint32_t) {
  Driver& d = TheDriver();
  std::shared_ptr<AtLine> line;
  {
    std::lock_guard lock(d.mutex);
    line = TakeLine(d, comport);
  }
  if (!line) return TALVEX_FAILED;
  line->Stop(kAborted);
  Log(2, "GSMDrv - COM%u removed.", comport);
  return TALVEX_OK;
}

TALVEX_EXPORT int32_t TALVEX_CALL gsmdrvSendSMS(uint32_t disable_unicode, TalvexSmsRequest* request) {
  if (!request || !request->recipient || !request->recipient[0]) return TALVEX_INVALID_PARAMETER;
  SendJob job;
  job.request = request;
  job.recipient = request->recipient;
  // The part (set by the engine for this call only) is copied now; the host's buffer is bounded by its capacity.
  if (request->part)
    job.text = std::u16string(request->part, Utf16Length(request->part));
  else if (request->text)
    job.text = std::u16string(request->text, Utf16Length(request->text, request->text_capacity));
  job.allow_ucs2 = disable_unicode == 0;
  Driver& d = TheDriver();
  std::lock_guard lock(d.mutex);
  if (!d.initialised) return TALVEX_NOT_INITIALISED;
  job.callback = reinterpret_cast<TalvexDriverCallback>(request->driver_callback);
  job.concat_reference = d.concat_reference++ & 0xFF;
  job.hold_for = std::chrono::milliseconds(d.timing.submit_ms);
  job.hold_until = std::chrono::steady_clock::now() + job.hold_for;
  if (!Route(d, job, false, nullptr)) {
    Log(0, "GSMDrv - no line can send to %s.", job.recipient.c_str());
    return TALVEX_FAILED;
  }
  return TALVEX_PENDING;
}

}  // extern "C"
