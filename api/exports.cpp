// SPDX-License-Identifier: Apache-2.0
// The module's boundary: the thirteen exports and the module-wide state.
// The host calls the exports from one thread at a time; gateway threads call
// the host back meanwhile. Nothing here throws across the boundary.

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "engine/generic_options.hpp"
#include "engine/gsm_engine.hpp"
#include "engine/service_factory.hpp"
#include "engine/test_channel/test_message_channel.hpp"
#include "gateways/catalog/catalog.hpp"
#include "platform/ansi_text.hpp"
#include "platform/module_lifetime.hpp"
#include "support/logging_handler.hpp"
#include "talvenix/talvenix.h"

using namespace talvenix;

namespace {

constexpr size_t kMaxPath = 259;     // the loader's path field holds 259 characters
constexpr size_t kMaxRootName = 62;  // and its category field 62

// The logger and the engine own threads: kept, not destroyed, when the
// process is ending (platform/module_lifetime.hpp).
platform::KeptAtProcessEnd<CLoggingHandler> g_kept_logger;
platform::KeptAtProcessEnd<GSMEngine> g_kept_engine(&g_kept_logger.get());
CLoggingHandler& g_logger = g_kept_logger.get();
GSMEngine& g_engine = g_kept_engine.get();
// The module stays loaded while the engine or the test channel runs threads,
// even if the host unloads it without Unint or a stop.
std::optional<platform::ModuleHold> g_engine_hold;
std::mutex g_channel_hold_mutex;  // a test callback may run commands too
std::optional<platform::ModuleHold> g_channel_hold;
bool g_engine_state = false;
bool g_config_state = false;
std::unique_ptr<IGSMConfigurationInterface> g_config_loader;
// The host's path and root name, in the module's UTF-8 (the host gives them
// in its ANSI code page).
std::string g_path;
std::string g_root;

void OpenLog() { g_logger.Open(kLogFileName, kLogSourceTag, 1); }

// Never released from a test callback: that thread runs the module's code,
// which the last reference must not unmap under it.
void HoldWhileTheChannelRuns() {
  std::lock_guard lock(g_channel_hold_mutex);
  if (TestChannelRuns()) {
    if (!g_channel_hold) g_channel_hold.emplace();
  } else if (!InsideTestCallback()) {
    g_channel_hold.reset();
  }
}

// A gateway that lives for one configuration operation, built only when its
// descriptor has all the `required` capability and trait bits. Null otherwise,
// or when the allocation fails.
std::unique_ptr<GenericGSMService> TemporaryService(uint32_t flag, uint32_t required_capabilities,
                                                    uint32_t required_traits) {
  const ServiceDescriptor* d = FindServiceByFlag(AvailableServices(), flag);
  if (!d || (d->capabilities & required_capabilities) != required_capabilities ||
      (d->traits & required_traits) != required_traits)
    return nullptr;
  try {
    return std::unique_ptr<GenericGSMService>(ConstructService(flag, &g_logger));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

template <typename Fn>
int32_t Guarded(Fn&& fn, int32_t on_exception) {
  try {
    return fn();
  } catch (...) {
    return on_exception;
  }
}

// Runs `op` on a temporary multi-line gateway whose settings the exports serve;
// 0 for any other flag.
template <typename Op>
int32_t WithMultiLineService(uint32_t service_flag, const char* invalid_flag_message, const char* failed_message,
                             Op&& op) {
  return Guarded(
      [&] {
        auto service = TemporaryService(service_flag, kCapMultiLine, kTraitSettingsExports);
        if (!service) {
          g_logger.Error(invalid_flag_message, static_cast<int>(service_flag));
          return 0;
        }
        auto* multi_line = dynamic_cast<IServiceMultiLine*>(service.get());
        if (!(service->GetServiceFlags() & kCapMultiLine) || !multi_line) return 0;
        int result = op(multi_line);
        if (!result) g_logger.Error("%s", failed_message);
        return result;
      },
      0);
}

}  // namespace

extern "C" {

int32_t InitTalvex(uintptr_t context, TalvexHostCallback callback, TalvexGenericOptions** options_out) {
  if (g_engine_state || !callback) return TALVEX_FAILED;
  return Guarded(
      [&]() -> int32_t {
        OpenLog();
        g_logger.Info("_____ SMS Engine Initializing _____");
        int32_t code = g_engine.Initialize(context, callback, options_out, kConfigPath, kConfigRoot);
        if (code == TALVEX_OK) {
          g_engine_state = true;
          g_engine_hold.emplace();
          if (g_engine_hold->Holds()) g_logger.Info("SMSEngine - the module stays loaded until Unint.");
          return TALVEX_OK;
        }
        g_logger.Warn("SMSEngine::Initialize - failed.");
        g_engine_state = false;
        return code;
      },
      TALVEX_FAILED);
}

int32_t SendSMS(TalvexSmsRequest* request) {
  if (!g_engine_state) return TALVEX_NOT_INITIALISED;
  if (!request) return TALVEX_INVALID_PARAMETER;
  return Guarded([&] { return g_engine.SendSMS(request); }, TALVEX_FAILED);
}

int32_t Update(uint32_t* change_mask, uint32_t host_value_a, uint32_t host_value_b, TalvexGenericOptions** options) {
  if (!change_mask || host_value_a == 0 || host_value_b == 0 || !options || !*options) return TALVEX_INVALID_PARAMETER;
  return Guarded([&] { return g_engine.Update(change_mask, host_value_a, host_value_b, options); }, TALVEX_FAILED);
}

void Unint(void) {
  if (g_engine_state) {
    g_logger.Info("SMSEngine::Unint.");
    g_engine.Uninitialize();
    g_engine_state = false;
    g_engine_hold.reset();
  } else if (g_config_state) {
    g_config_loader.reset();
    g_config_state = false;
  }
  g_logger.Close();
}

int32_t ExecuteCommand(uint32_t command, void* data, uint32_t) {
  return Guarded(
      [&] {
        int32_t code = ExecuteTestCommand(&g_logger, command, data);
        if (command == TALVEX_CMD_SENDTESTSMS || command == TALVEX_CMD_STOPTEST) HoldWhileTheChannelRuns();
        return code;
      },
      TALVEX_FAILED);
}

int32_t InitXMLConfigurations(const char* path, const char* root) {
  OpenLog();
  if (!path || !root) return 0;
  // A cut path or root name would silently address another file or element.
  if (std::strlen(path) > kMaxPath || std::strlen(root) > kMaxRootName) {
    g_logger.Error("-> InitXMLConfigurations - path or root name too long (at most %d and %d characters).",
                   static_cast<int>(kMaxPath), static_cast<int>(kMaxRootName));
    return 0;
  }
  return Guarded(
      [&]() -> int32_t {
        g_path = platform::AnsiToUtf8(path);
        g_root = platform::AnsiToUtf8(root);
        auto loader = g_engine.CreateConfigLoader(g_path.c_str(), g_root.c_str());
        if (!loader) return 0;
        g_config_loader = std::move(loader);
        g_config_state = true;
        return 1;
      },
      0);
}

int32_t LoadGSMGenericXMLConfigurations(TalvexGenericOptions* options) {
  if (!g_config_state || !options) return 0;
  return Guarded(
      [&] {
        int result = LoadGenericXMLConfigs(options, g_config_loader.get());
        if (!result) g_logger.Error("-> LoadGSMGenericConfigurations _ Failed");
        return result;
      },
      0);
}

int32_t ChangeXMLGenericConfigurations(TalvexGenericOptions* options, uint32_t mask) {
  if (!g_config_state || !options) return 0;
  return Guarded([&] { return UpdateGenericXMLConfigs(g_config_loader.get(), options, mask); }, 0);
}

int32_t ChangeXMLConfigurations(uint32_t service_flag, void* settings_block, uint32_t property_mask) {
  if (!g_config_state || !settings_block) return 0;
  return Guarded(
      [&] {
        auto service = TemporaryService(service_flag, 0, kTraitSettingsExports);
        if (!service) {
          g_logger.Error("-> ChangeXMLConfigurations - Invalid GSM Service Flag [%d]", static_cast<int>(service_flag));
          return 0;
        }
        int result = service->ConfigUpdate(g_config_loader.get(), settings_block, property_mask);
        if (!result) g_logger.Error("-> ConfigUpdate _ Failed");
        return result;
      },
      0);
}

int32_t LoadGSMServiceXMLConfigurations(uint32_t service_flag, void* settings_block, uint32_t with_mode_1) {
  if (!g_config_state || !settings_block) return 0;
  return Guarded(
      [&] {
        int result;
        if (service_flag == TALVEX_SERVICE_LEGACY_MODEM) {
          result = g_engine.ConfigLoadOldSettings(static_cast<TalvexLegacyModemSettings*>(settings_block),
                                                  g_config_loader.get());
        } else {
          auto service = TemporaryService(service_flag, 0, kTraitSettingsExports);
          if (!service) {
            g_logger.Error("-> LoadGSMServiceXMLConfigurations - Invalid GSM Service Flag [%d]",
                           static_cast<int>(service_flag));
            return 0;
          }
          result = service->ConfigLoad(g_config_loader.get(), settings_block, 0);
          if (with_mode_1) result = service->ConfigLoad(g_config_loader.get(), settings_block, 1);
        }
        if (!result) g_logger.Error("-> LoadStaticServiceSpecficConfigs - Failed.");
        return result;
      },
      0);
}

int32_t XMLConfigMultiLine_CreateNewLine(uint32_t service_flag, TalvexLineRecord* line_record) {
  if (!g_config_state || !line_record) return 0;
  return WithMultiLineService(
      service_flag,
      "-> XMLConfigMultiLine_CreateNewLine - Invalid GSM Service Flag [%d], Srv MUST SUPPORT Multiline Interface.",
      "-> XMLConfigMultiLine_CreateNewLine _ Failed",
      [&](IServiceMultiLine* s) { return s->CreateNewLine(g_config_loader.get(), line_record); });
}

int32_t XMLConfigMultiLine_DeleteLine(uint32_t service_flag, uint32_t line_number) {
  if (!g_config_state) return 0;
  return WithMultiLineService(
      service_flag,
      "-> XMLConfigMultiLine_DeleteLine - Invalid GSM Service Flag [%d], Srv MUST SUPPORT Multiline Interface.",
      "-> XMLConfigMultiLine_DeleteLine _ Failed",
      [&](IServiceMultiLine* s) { return s->DeleteLine(g_config_loader.get(), line_number); });
}

void FreeXMLLoadResources(void* settings_block, uint32_t service_flag) {
  if (!g_config_state || !settings_block) return;
  Guarded(
      [&] {
        auto service = TemporaryService(service_flag, 0, kTraitLoadResources);
        if (!service) {
          g_logger.Warn("-> FreeXMLLoadResources _ Onvalid Service specfied.");
          return 0;
        }
        service->FreeXMLLoadResources(settings_block);
        return 1;
      },
      0);
}

}  // extern "C"
