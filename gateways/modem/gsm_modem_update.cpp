// SPDX-License-Identifier: Apache-2.0
// Applying a changed configuration while lines run: lines that are gone or
// disabled stop, lines whose modem settings changed restart, new enabled lines
// start, and every other line keeps running untouched.

#include <new>

#include "gateways/modem/gsm_modem_gateway.hpp"
#include "gateways/modem/line_record.hpp"

namespace talvenix {
namespace {

TalvexLineRecord* FindByPort(gsm::LineRecords& lines, uint32_t comport) {
  for (auto& line : lines)
    if (line && line->comport == comport) return line.get();
  return nullptr;
}

bool HasEnabledPort(const gsm::LineRecords& lines, uint32_t comport) {
  for (const auto& line : lines)
    if (line && line->comport == comport && line->line_enabled == 1) return true;
  return false;
}

// Copies the compared settings of `from` into `to`; true when one that the
// driver uses changed. A new line name alone restarts nothing.
bool TakeOverSettings(TalvexLineRecord* to, const TalvexLineRecord& from) {
  bool restart = false;
  auto take = [&restart](auto& field, const auto& value) {
    if (field != value) {
      field = value;
      restart = true;
    }
  };
  take(to->accept_incoming, from.accept_incoming);
  take(to->accept_outgoing, from.accept_outgoing);
  take(to->baudrate, from.baudrate);
  take(to->international_numbers, from.international_numbers);
  auto take_text = [&](gsm::LineText& field, const gsm::LineText& value, bool restarts) {
    std::u16string next = gsm::ReadText(value);
    if (gsm::ReadText(field) != next) {
      gsm::WriteText(field, next);
      restart = restart || restarts;
    }
  };
  take_text(to->initstr, from.initstr, true);
  take_text(to->smsc, from.smsc, true);
  take_text(to->line_name, from.line_name, false);
  return restart;
}

}  // namespace

int Vantrel_GSMCOMDrvInterface::UpdateConfigs(uint32_t*, TalvexGenericOptions* options, uint32_t, uint32_t) {
  if (!options || !loader_) {
    logger_->Error("GSMComDrv::UpdateConfigs - invalid parameter(s).");
    return 0;
  }
  if (!initialised_ || !driver_) {
    logger_->Error("GSMComDrv::UpdateConfigs  - service not init.");
    return 0;
  }
  gsm::LineRecords fresh;
  try {
    gsm::LoadLineRecords(loader_, fresh);
  } catch (const std::bad_alloc&) {
    logger_->Error("GSMComDrv::ConfigLoad - failed to allocate vector. (memory exception)");
    return 0;
  }

  // Lines that are gone or disabled stop; later lines move up.
  for (size_t i = 0; i < lines_.size();) {
    TalvexLineRecord* running = lines_[i].get();
    if (!running || HasEnabledPort(fresh, running->comport)) {
      ++i;
      continue;
    }
    logger_->Info("GSMComDrv::UpdateConfigs  - removing GSM line associated with COM%d",
                  static_cast<int>(running->comport));
    driver_->UninitGSMLine(running->comport, 1);
    std::lock_guard lock(mutex_);
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
  }

  for (auto& candidate : fresh) {
    if (!candidate) continue;
    TalvexLineRecord* running = FindByPort(lines_, candidate->comport);
    if (running) {
      if (!candidate->line_enabled) continue;
      bool restart;
      {
        std::lock_guard lock(mutex_);
        running->clean_sim = candidate->clean_sim;
        restart = TakeOverSettings(running, *candidate);
      }
      if (running->clean_sim) {
        logger_->Info("GSMComDrv::UpdateConfigs - reseting cleanSIM setting. (COM%d)",
                      static_cast<int>(running->comport));
        ResetCleanSim(running->comport);
      }
      if (restart) {
        logger_->Info(
            "GSMComDrv::UpdateConfigs - GSM Line configuration change detected, restarting GSM Line associated "
            "with COM%d",
            static_cast<int>(running->comport));
        driver_->UninitGSMLine(running->comport, 1);
        StartAndTrack(running);
      }
    } else if (candidate->line_enabled) {
      // In the list before it starts, so the driver's first report finds it.
      TalvexLineRecord* added = candidate.get();
      {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(candidate));
      }
      StartAndTrack(added);
    }
  }

  std::lock_guard lock(mutex_);
  RefreshLineStatus();
  return 1;
}

}  // namespace talvenix
