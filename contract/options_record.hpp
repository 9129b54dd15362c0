// SPDX-License-Identifier: Apache-2.0
#pragma once
// Owner of a generic options record. The record itself is plain data shared
// with the host; its line status text and line list point to memory that this
// class allocates and frees. Copies are deep.

#include <string>
#include <vector>

#include "talvenix/talvenix.h"

namespace talvenix {

struct LineSummaryEntry {
  std::string name;
  std::string international_dialing_enabled;
  std::string status;
  std::string id;
};

class OptionsRecord {
 public:
  OptionsRecord();  // every field zero; the line status an empty text of capacity 250
  ~OptionsRecord();
  OptionsRecord(const OptionsRecord& other);
  OptionsRecord& operator=(const OptionsRecord& other);

  TalvexGenericOptions* get() { return &record_; }
  const TalvexGenericOptions* get() const { return &record_; }

  // Replace the GSM line summary texts; the host may read them between calls.
  static void SetLineStatus(TalvexGenericOptions* record, const std::string& text);
  static void SetLines(TalvexGenericOptions* record, const std::vector<LineSummaryEntry>& lines);
  // Replaces the whole summary at once: the three counters, the text and the lines.
  static void SetLineSummary(TalvexGenericOptions* record, uint32_t started, uint32_t failed, uint32_t ready,
                             const std::string& status_text, const std::vector<LineSummaryEntry>& lines);
  // Summary writes (from gateway threads) and whole-record copies (Update, on
  // the host's thread) of any record are serialised by one module-wide lock.

 private:
  void Release();
  TalvexGenericOptions record_;
};

// Frees the owned members of a record and leaves them empty.
void ReleaseOptionsMemory(TalvexGenericOptions* record);

// Allocation helpers for module-owned string buffers.
void AssignText(TalvexText* buffer, const std::string& text, uint32_t min_capacity = 2);
void FreeText(TalvexText* buffer);

}  // namespace talvenix
