// SPDX-License-Identifier: Apache-2.0
#include "daemon/status_reports.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "talvenix/gsm_driver.h"

namespace talvenix::daemon {

std::optional<SentReferences> ReadReceipt(const TalvexSmsRequest& request) {
  TalvexSendReceipt receipt;
  std::memcpy(&receipt, request.driver_area, sizeof receipt);
  if (receipt.magic != TALVEX_RECEIPT_MAGIC) return std::nullopt;
  SentReferences sent;
  sent.comport = receipt.comport;
  sent.parts = std::min<uint32_t>(receipt.parts, TALVEX_RECEIPT_MAX_PARTS);
  for (uint32_t i = 0; i < sent.parts; ++i)
    if (receipt.reference[i] <= 0xFF) sent.references.push_back({i + 1, receipt.reference[i]});
  if (sent.references.empty()) return std::nullopt;
  if (request.recipient) sent.recipient = request.recipient;
  return sent;
}

const char* DeliveryState(uint32_t status) {
  if (status < 0x20) return "delivered";
  if (status < 0x40) return "still_trying";
  return "failed";
}

bool SameRecipient(const std::string& a, const std::string& b) {
  auto digits = [](const std::string& number) {
    std::string out;
    for (unsigned char c : number)
      if (std::isdigit(c)) out += static_cast<char>(c);
    return out;
  };
  std::string da = digits(a), db = digits(b);
  if (da.empty() || db.empty()) return false;
  if (da == db) return true;
  constexpr size_t kSignificant = 9;
  return da.size() >= kSignificant && db.size() >= kSignificant &&
         da.compare(da.size() - kSignificant, kSignificant, db, db.size() - kSignificant, kSignificant) == 0;
}

bool MayBeTied(const StatusReport& r) { return r.from_modem_line && r.reference <= 0xFF; }

bool ReportsOn(const StatusReport& r, int64_t now_ms, int64_t used_ms, const std::string& used_for) {
  return now_ms - used_ms <= kReportWindowMs && SameRecipient(used_for, r.from);
}

}  // namespace talvenix::daemon
