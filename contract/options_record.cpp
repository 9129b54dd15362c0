// SPDX-License-Identifier: Apache-2.0
#include "contract/options_record.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace talvenix {

void AssignText(TalvexText* buffer, const std::string& text, uint32_t min_capacity) {
  FreeText(buffer);
  uint32_t capacity = std::max<uint32_t>(min_capacity, static_cast<uint32_t>(text.size() + 1));
  buffer->text = new char[capacity]();
  std::memcpy(buffer->text, text.data(), text.size());
  buffer->capacity = capacity;
}

void FreeText(TalvexText* buffer) {
  delete[] buffer->text;
  buffer->text = nullptr;
  buffer->capacity = 0;
}

static std::string TextOf(const TalvexText& t) { return t.text ? std::string(t.text) : std::string(); }

// Re-entrant: a copy releases and rebuilds the summary through the setters.
static std::recursive_mutex& SummaryLock() {
  static std::recursive_mutex lock;
  return lock;
}

void OptionsRecord::SetLineSummary(TalvexGenericOptions* record, uint32_t started, uint32_t failed, uint32_t ready,
                                   const std::string& status_text, const std::vector<LineSummaryEntry>& lines) {
  std::lock_guard lock(SummaryLock());
  record->lines_started = started;
  record->lines_failed = failed;
  record->lines_ready = ready;
  SetLineStatus(record, status_text);
  SetLines(record, lines);
}

void OptionsRecord::SetLineStatus(TalvexGenericOptions* record, const std::string& text) {
  std::lock_guard lock(SummaryLock());
  AssignText(&record->line_status, text, 250);
}

void OptionsRecord::SetLines(TalvexGenericOptions* record, const std::vector<LineSummaryEntry>& lines) {
  std::lock_guard lock(SummaryLock());
  TalvexLineList& list = record->lines;
  for (uint32_t i = 0; i < list.count; ++i) {
    FreeText(&list.entries[i].name);
    FreeText(&list.entries[i].international_dialing_enabled);
    FreeText(&list.entries[i].status);
    FreeText(&list.entries[i].id);
  }
  delete[] list.entries;
  list = TalvexLineList{};
  if (lines.empty()) return;
  list.entries = new TalvexLineEntry[lines.size()]();
  list.capacity = static_cast<uint32_t>(lines.size());
  for (const LineSummaryEntry& e : lines) {
    TalvexLineEntry& out = list.entries[list.count++];
    AssignText(&out.name, e.name);
    AssignText(&out.international_dialing_enabled, e.international_dialing_enabled);
    AssignText(&out.status, e.status);
    AssignText(&out.id, e.id);
  }
}

void ReleaseOptionsMemory(TalvexGenericOptions* record) {
  std::lock_guard lock(SummaryLock());
  OptionsRecord::SetLines(record, {});
  FreeText(&record->line_status);
}

OptionsRecord::OptionsRecord() {
  std::memset(&record_, 0, sizeof record_);
  SetLineStatus(&record_, "");  // hosts print it before any gateway fills it
}

OptionsRecord::~OptionsRecord() { Release(); }

void OptionsRecord::Release() { ReleaseOptionsMemory(&record_); }

OptionsRecord::OptionsRecord(const OptionsRecord& other) : OptionsRecord() { *this = other; }

OptionsRecord& OptionsRecord::operator=(const OptionsRecord& other) {
  if (this == &other) return *this;
  std::lock_guard lock(SummaryLock());
  Release();
  std::memcpy(&record_, &other.record_, sizeof record_);
  record_.line_status = TalvexText{};
  record_.lines = TalvexLineList{};
  SetLineStatus(&record_, TextOf(other.record_.line_status));
  std::vector<LineSummaryEntry> lines;
  for (uint32_t i = 0; i < other.record_.lines.count; ++i) {
    const TalvexLineEntry& e = other.record_.lines.entries[i];
    lines.push_back({TextOf(e.name), TextOf(e.international_dialing_enabled), TextOf(e.status), TextOf(e.id)});
  }
  SetLines(&record_, lines);
  return *this;
}

}  // namespace talvenix
