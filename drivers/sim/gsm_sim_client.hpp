// SPDX-License-Identifier: Apache-2.0
#pragma once
// The simulator driver's controls, resolved at run time: tests and benchmarks
// load the same file that the module loads through TALVENIX_GSM_DRIVER, so
// both steer one simulator. Keeps the library loaded for the process.

#include <stdexcept>
#include <string>

#include "drivers/sim/gsm_sim.h"
#include "platform/dynamic_library.hpp"

namespace talvenix::sim {

struct SimClient {
  decltype(&::gsmsim_Reset) Reset;
  decltype(&::gsmsim_SetInitResult) SetInitResult;
  decltype(&::gsmsim_SetLineResult) SetLineResult;
  decltype(&::gsmsim_SetAutoLineState) SetAutoLineState;
  decltype(&::gsmsim_SetSendResult) SetSendResult;
  decltype(&::gsmsim_ReportLineState) ReportLineState;
  decltype(&::gsmsim_DeliverSms) DeliverSms;
  decltype(&::gsmsim_DeliverStatusReport) DeliverStatusReport;
  decltype(&::gsmsim_Inject) Inject;
  decltype(&::gsmsim_DeliverBurst) DeliverBurst;
  decltype(&::gsmsim_WaitIdle) WaitIdle;
  decltype(&::gsmsim_CallLog) CallLog;
  decltype(&::gsmsim_LastLineRecord) LastLineRecord;
  decltype(&::gsmsim_RunningLines) RunningLines;

  // The calls the driver received, one per line, without a final newline.
  std::string Calls() const {
    std::string text(CallLog(nullptr, 0), '\0');
    CallLog(text.data(), static_cast<uint32_t>(text.size()));
    text.resize(text.find('\0'));
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }

#ifdef TALVENIX_GSMSIM_PATH
  static std::string Path() { return TALVENIX_GSMSIM_PATH; }
  static SimClient& Get() {
    static SimClient client = Load(Path());
    return client;
  }
#endif

  // Throws std::runtime_error naming the file or the missing control.
  static SimClient Load(const std::string& path) {
    static platform::DynamicLibrary library;  // stays loaded: the module may load it too
    if (!library.Open(path)) throw std::runtime_error(library.LastError());
    SimClient c{};
#define TALVENIX_SIM_RESOLVE(field, name) Resolve(library, c.field, #name)
    TALVENIX_SIM_RESOLVE(Reset, gsmsim_Reset);
    TALVENIX_SIM_RESOLVE(SetInitResult, gsmsim_SetInitResult);
    TALVENIX_SIM_RESOLVE(SetLineResult, gsmsim_SetLineResult);
    TALVENIX_SIM_RESOLVE(SetAutoLineState, gsmsim_SetAutoLineState);
    TALVENIX_SIM_RESOLVE(SetSendResult, gsmsim_SetSendResult);
    TALVENIX_SIM_RESOLVE(ReportLineState, gsmsim_ReportLineState);
    TALVENIX_SIM_RESOLVE(DeliverSms, gsmsim_DeliverSms);
    TALVENIX_SIM_RESOLVE(DeliverStatusReport, gsmsim_DeliverStatusReport);
    TALVENIX_SIM_RESOLVE(Inject, gsmsim_Inject);
    TALVENIX_SIM_RESOLVE(DeliverBurst, gsmsim_DeliverBurst);
    TALVENIX_SIM_RESOLVE(WaitIdle, gsmsim_WaitIdle);
    TALVENIX_SIM_RESOLVE(CallLog, gsmsim_CallLog);
    TALVENIX_SIM_RESOLVE(LastLineRecord, gsmsim_LastLineRecord);
    TALVENIX_SIM_RESOLVE(RunningLines, gsmsim_RunningLines);
#undef TALVENIX_SIM_RESOLVE
    return c;
  }

 private:
  template <typename F>
  static void Resolve(platform::DynamicLibrary& library, F& fn, const char* name) {
    fn = reinterpret_cast<F>(library.Symbol(name));
    if (!fn) throw std::runtime_error(std::string("missing control ") + name);
  }
};

}  // namespace talvenix::sim
