// SPDX-License-Identifier: Apache-2.0
#include "gateways/modem/gsm_modem_gateway.hpp"

#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "gateways/modem/line_record.hpp"

namespace talvenix {
namespace {

TalvexLineRecordList* NewHostList() {
  auto* list = new TalvexLineRecordList{};
  return list;
}

void DeleteLoad(TalvexLineRecord** lines, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) delete lines[i];
  delete[] lines;
}

// The loads a list replaced. The host may still point into them (a settings
// screen keeps a record while it refreshes the list), so they live until the
// list is freed. Settings exports build a new gateway each time: module-wide.
class RetiredLoads {
 public:
  void Retire(const TalvexLineRecordList* list) {
    if (!list->lines) return;
    std::lock_guard lock(mutex_);
    loads_[list].push_back({list->lines, list->count});
  }
  void Free(const TalvexLineRecordList* list) {
    std::vector<Load> loads;
    {
      std::lock_guard lock(mutex_);
      auto it = loads_.find(list);
      if (it == loads_.end()) return;
      loads = std::move(it->second);
      loads_.erase(it);
    }
    for (const Load& load : loads) DeleteLoad(load.lines, load.count);
  }

 private:
  struct Load {
    TalvexLineRecord** lines;
    uint32_t count;
  };
  std::mutex mutex_;
  std::map<const TalvexLineRecordList*, std::vector<Load>> loads_;
};

RetiredLoads& Retired() {
  static RetiredLoads retired;
  return retired;
}

// Hands the records over to the host's C list; the previous ones are retired.
void FillHostList(TalvexLineRecordList* list, gsm::LineRecords& lines) {
  Retired().Retire(list);
  *list = TalvexLineRecordList{};
  if (lines.empty()) return;
  list->lines = new TalvexLineRecord*[lines.size()]();
  list->capacity = static_cast<uint32_t>(lines.size());
  for (auto& line : lines) list->lines[list->count++] = line.release();
}

}  // namespace

Vantrel_GSMCOMDrvInterface::Vantrel_GSMCOMDrvInterface(ILogInterface* logger)
    : IServiceMultiLine(logger, kModemService) {}

Vantrel_GSMCOMDrvInterface::~Vantrel_GSMCOMDrvInterface() {
  // Destroying a running gateway would leave driver threads calling into freed memory.
  if (initialised_ && driver_) ServiceUninit();
}

std::unique_ptr<GSMDriverInterface> Vantrel_GSMCOMDrvInterface::CreateDriverInterface() {
  return std::unique_ptr<GSMDriverInterface>(new (std::nothrow) GSMDriverInterface());
}

// ---- Settings screens ------------------------------------------------------

int Vantrel_GSMCOMDrvInterface::ConfigLoad(IGSMConfigurationInterface* loader, void* settings_block, uint32_t) {
  if (!loader || !settings_block) {
    logger_->Error("GSMComDrv::ConfigXMLLoad - invalid parameter(s).");
    return 0;
  }
  auto** list = static_cast<TalvexLineRecordList**>(settings_block);
  gsm::LineRecords lines;
  try {
    if (!*list) *list = NewHostList();
    gsm::LoadLineRecords(loader, lines);
    // A list loaded again is refilled, never given every line twice.
    FillHostList(*list, lines);
  } catch (const std::bad_alloc&) {
    logger_->Error("GSMComDrv::ConfigLoad - failed to allocate vector. (memory exception)");
    return 0;
  }
  return 1;
}

void Vantrel_GSMCOMDrvInterface::FreeXMLLoadResources(void* settings_block) {
  if (!settings_block) return;
  auto** list = static_cast<TalvexLineRecordList**>(settings_block);
  if (!*list) return;
  Retired().Free(*list);
  DeleteLoad((*list)->lines, (*list)->count);
  delete *list;
  *list = nullptr;
}

int Vantrel_GSMCOMDrvInterface::ConfigUpdate(IGSMConfigurationInterface* loader, void* settings_block, uint32_t mask) {
  if (!loader || !settings_block) return 0;
  auto* line = static_cast<TalvexLineRecord*>(settings_block);
  int result = 0;
  try {
    std::vector<LinePropertyItem> rows = gsm::LinePropertyRows(*line, mask);
    result =
        loader->UpdateServiceConfigsEx(gsm::TransportId(), static_cast<int>(line->comport), gsm::kKeyProperty, &rows);
  } catch (const std::bad_alloc&) {
    logger_->Error("GSMComDrv::ConfigUpdate - out of memory.");
    return 0;
  }
  // The record keeps naming the stored line: its key changes only when the document's did.
  if (result && (mask & TALVEX_LINE_COMPORT)) line->comport = line->new_comport;
  return result;
}

int Vantrel_GSMCOMDrvInterface::CreateNewLine(IGSMConfigurationInterface* loader, const TalvexLineRecord* line_record) {
  if (!loader || !line_record) return 0;
  try {
    LineTemplate fields = gsm::NewLineTemplate(*line_record);
    return loader->CreateNewLine(gsm::TransportId(), &fields);
  } catch (const std::bad_alloc&) {
    logger_->Error("GSMComDrv::CreateNewLine - out of memory.");
    return 0;
  }
}

int Vantrel_GSMCOMDrvInterface::DeleteLine(IGSMConfigurationInterface* loader, uint32_t line_number) {
  if (!loader) return 0;
  return loader->DeleteLine(gsm::TransportId(), static_cast<int>(line_number));
}

// ---- Running -----------------------------------------------------------------

int Vantrel_GSMCOMDrvInterface::LoadServiceSpecficConfigurations(TalvexGenericOptions* options,
                                                                 IGSMConfigurationInterface* loader) {
  if (!options || !loader) {
    logger_->Error("GSMComDrv::LoadServiceSpecficConfigurations - invalid parameter(s).");
    return 0;
  }
  options_ = options;
  gsm::LineRecords lines;
  size_t count;
  try {
    gsm::LoadLineRecords(loader, lines);
    std::lock_guard lock(mutex_);
    lines_.reserve(lines_.size() + lines.size());  // nothing is moved unless everything fits
    for (auto& line : lines) lines_.push_back(std::move(line));
    count = lines_.size();
  } catch (const std::bad_alloc&) {
    // Without its lines the gateway would start and send nothing: a failure.
    logger_->Error("GSMComDrv::ConfigLoad - failed to allocate vector. (memory exception)");
    return 0;
  }
  logger_->Info("GSMComDrv::LoadServiceSpecficConfigurations - found %d valid GSM line(s).", static_cast<int>(count));
  return 1;
}

int Vantrel_GSMCOMDrvInterface::ServiceInit(TalvexHostCallback callback, uintptr_t context,
                                            IGSMConfigurationInterface* loader) {
  if (initialised_) {
    logger_->Error("Vantrel_GSMCOMDrvInterface::ServiceInit - Service Already Init.");
    return 0;
  }
  // The context is the host's own value, handed back unchanged: 0 is a valid one.
  if (!callback || !loader) {
    logger_->Error("Vantrel_GSMCOMDrvInterface::ServiceInit - invalid parameter(s).");
    return 0;
  }
  loader_ = loader;
  {
    std::lock_guard lock(mutex_);
    callback_ = callback;
    context_ = context;
  }
  std::unique_ptr<GSMDriverInterface> driver = CreateDriverInterface();
  if (!driver) {
    logger_->Error("Vantrel_GSMCOMDrvInterface::ServiceInit - failed to create driver interface.");
    return 0;
  }
  if (!driver->LoadDriver()) {
    logger_->Error("GSMComDrv::init - failed to load GSM interface (erc: %d)", driver->LastErrorCode());
    logger_->Error("GSMComDrv::init - %s", driver->LastError().c_str());
    return 0;
  }
  if (driver->InitDriver() != 0) {
    logger_->Error("GSMComDrv::init - failed to init qvGSMcomdrv.");
    driver->UnloadDriver();
    return 0;
  }
  driver_ = std::move(driver);
  initialised_ = 1;
  return 1;
}

void Vantrel_GSMCOMDrvInterface::ServiceUninit() {
  if (!initialised_ || !driver_) {
    logger_->Error("GSMComDrv::ServiceUninit - Service  is not initialized.");
    return;
  }
  initialised_ = 0;
  // Without the lock: the driver may wait for threads that are inside GSMCallback.
  driver_->ShutdownDriver();
  driver_->UnloadDriver();
  driver_.reset();
  std::lock_guard lock(mutex_);
  lines_.clear();
}

int Vantrel_GSMCOMDrvInterface::ServiceInitLines() {
  int started = 0;
  for (size_t i = 0; i < lines_.size(); ++i) {
    TalvexLineRecord* line = lines_[i].get();
    if (!line) continue;
    if (!line->line_enabled) {
      logger_->Warn("Vantrel_GSMCOMDrvInterface::ServiceInitLines -  GSM Line associated with ID: %d is DISABLED.",
                    static_cast<int>(line->comport));
      std::lock_guard lock(mutex_);
      lines_[i].reset();
      continue;
    }
    if (StartAndTrack(line)) {
      ++started;
    } else {
      logger_->Warn("Vantrel_GSMCOMDrvInterface::ServiceInitLines -  failed to add gsm line. (ID: %d)",
                    static_cast<int>(line->comport));
    }
  }
  std::lock_guard lock(mutex_);
  RefreshLineStatus();
  return started;
}

void Vantrel_GSMCOMDrvInterface::SetStatus(TalvexLineRecord* line, uint32_t status) {
  std::lock_guard lock(mutex_);
  line->status = status;
}

bool Vantrel_GSMCOMDrvInterface::StartAndTrack(TalvexLineRecord* line) {
  // Waiting for the driver before it starts: a ready report that its threads
  // send at once must not be overwritten afterwards.
  SetStatus(line, TALVEX_LINE_STARTED);
  if (StartLine(*line)) return true;
  SetStatus(line, TALVEX_LINE_FAILED);
  return false;
}

int Vantrel_GSMCOMDrvInterface::StartLine(const TalvexLineRecord& line) {
  TalvexDriverLineRecord driver_line;
  {
    std::lock_guard lock(mutex_);
    gsm::BuildDriverLineRecord(line, &driver_line);
  }
  return ServiceAddLine(&driver_line);
}

void Vantrel_GSMCOMDrvInterface::ResetCleanSim(uint32_t comport) {
  auto reset = gsm::NewLineRecord();
  reset->comport = comport;
  reset->clean_sim = 0;
  ConfigUpdate(loader_, reset.get(), TALVEX_LINE_CLEANSIM);
}

int Vantrel_GSMCOMDrvInterface::ServiceAddLine(TalvexDriverLineRecord* driver_line) {
  if (!driver_line) {
    logger_->Error("GSMComDrv::ServiceAddLine - invalid parameter(s).");
    return 0;
  }
  if (!initialised_ || !driver_) {
    logger_->Error("GSMComDrv::ServiceAddLine - service not initialized.");
    return 0;
  }
  driver_line->context = this;
  driver_line->callback = &Vantrel_GSMCOMDrvInterface::GSMCallback;
  logger_->Info(
      "GSMComDrv::ServiceAddLine - creating gsm line. (comport: %d , baudrate: %d , canrecv: %d, cansend: %d, "
      "cleanSIM: %d)",
      static_cast<int>(driver_line->comport), static_cast<int>(driver_line->baudrate),
      static_cast<int>(driver_line->can_receive), static_cast<int>(driver_line->can_send),
      static_cast<int>(driver_line->clean_sim));
  if (driver_line->clean_sim) {
    // The driver still gets clean SIM 1, so the SIM is cleaned exactly once.
    logger_->Info("GSMComDrv::ServiceAddLine - reseting cleanSIM setting. (COM%d)",
                  static_cast<int>(driver_line->comport));
    ResetCleanSim(driver_line->comport);
  }
  int32_t code = driver_->AddGSMLine(driver_line);
  if (code == TALVEX_OK || code == TALVEX_PENDING) return 1;
  logger_->Error("GSMComDrv::ServiceAddLine - failed to add GSM line. (erc: %d)", code);
  return 0;
}

int32_t Vantrel_GSMCOMDrvInterface::ServiceSendSMS(uint32_t, uint32_t disable_unicode, TalvexSmsRequest* request) {
  if (!initialised_ || !driver_) {
    logger_->Error("GSMComDrv::ServiceSendSMS - service not initialized.");
    return TALVEX_NOT_INITIALISED;
  }
  if (!request) {
    logger_->Error("GSMComDrv::ServiceSendSMS - invalid parameter(s).");
    return TALVEX_INVALID_PARAMETER;
  }
  logger_->Info("GSMComDrv::ServiceSendSMS - sending SMS.");
  request->driver_callback = reinterpret_cast<void*>(&Vantrel_GSMCOMDrvInterface::GSMCallback);
  request->outcome_context = context_;
  int32_t code = driver_->SendDriverSMS(disable_unicode, request);
  if (code == TALVEX_OK) return TALVEX_OK;
  if (code == TALVEX_PENDING) {
    logger_->Info("GSMComDrv::ServiceSendSMS - SMS request pending.");
    return TALVEX_PENDING;
  }
  logger_->Error("GSMComDrv::ServiceSendSMS - generic error reported by driver. (erc: %d)", code);
  return code;
}

}  // namespace talvenix
