// SPDX-License-Identifier: Apache-2.0
#pragma once
// A host callback for tests that copies every event it gets (the data lives
// only for the call) and lets a test wait for the events it expects.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/text_codec.hpp"
#include "talvenix/talvenix.h"

namespace talvenix::testing {

struct HostEvent {
  int32_t code = 0;
  int32_t extra = 0;
  uint32_t kind = 0;
  uintptr_t context = 0;
  void* data = nullptr;
  uint32_t data_kind = 0;
  std::optional<TalvexLineRecord> line;        // event 3 with a record
  std::optional<TalvexReceivedMessage> raw;    // event 1: the record as handed over
  std::string originator, report_text;         // event 1 texts
  std::u16string text;
};

class HostEvents {
 public:
  static int32_t TALVEX_CALL Callback(int32_t code, int32_t extra, uint32_t kind, uintptr_t context, void* data,
                                      uint32_t data_kind) {
    // The context is the recorder itself, as a host would pass its own object.
    reinterpret_cast<HostEvents*>(context)->Add(code, extra, kind, context, data, data_kind);
    return 0;
  }

  uintptr_t context() { return reinterpret_cast<uintptr_t>(this); }

  std::vector<HostEvent> All() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<HostEvent> OfKind(uint32_t kind) {
    std::vector<HostEvent> out;
    for (const HostEvent& e : All())
      if (e.kind == kind) out.push_back(e);
    return out;
  }
  // True once `count` events of `kind` arrived (within five seconds).
  bool WaitFor(uint32_t kind, size_t count) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::seconds(5), [&] {
      size_t n = 0;
      for (const HostEvent& e : events_) n += e.kind == kind;
      return n >= count;
    });
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }

 private:
  void Add(int32_t code, int32_t extra, uint32_t kind, uintptr_t context, void* data, uint32_t data_kind) {
    HostEvent e{code, extra, kind, context, data, data_kind, {}, {}, {}, {}, {}};
    if (kind == TALVEX_EVENT_LINE_STATE && data) e.line = *static_cast<TalvexLineRecord*>(data);
    if (kind == TALVEX_EVENT_RECEIVED && data) {
      auto* m = static_cast<TalvexReceivedMessage*>(data);
      e.raw = *m;
      e.originator = m->originator.text ? m->originator.text : "";
      e.report_text = m->report_text.text ? m->report_text.text : "";
      e.text = m->text.text ? std::u16string(m->text.text) : std::u16string();
    }
    {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(e));
    }
    arrived_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<HostEvent> events_;
};

// The line summary of an options record, as (name, internationalDialingEnabled, status, id).
struct SummaryEntry {
  std::string name, international, status, id;
  bool operator==(const SummaryEntry&) const = default;
};

inline std::vector<SummaryEntry> SummaryOf(const TalvexGenericOptions& o) {
  std::vector<SummaryEntry> out;
  for (uint32_t i = 0; i < o.lines.count; ++i) {
    const TalvexLineEntry& e = o.lines.entries[i];
    out.push_back({e.name.text, e.international_dialing_enabled.text, e.status.text, e.id.text});
  }
  return out;
}

}  // namespace talvenix::testing
