// SPDX-License-Identifier: Apache-2.0
#include "engine/gsm_engine.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "config/xml_loader.hpp"
#include "engine/generic_options.hpp"
#include "engine/service_factory.hpp"
#include "gateways/catalog/catalog.hpp"
#include "support/text_codec.hpp"
#include "support/text_fit.hpp"

namespace talvenix {
namespace {

// Leaves exactly the first `length` characters of the host's text in its
// buffer (they are a prefix of what it held) and zeros the rest of the
// capacity, so a terminator always stays inside the buffer.
void KeepHostPrefix(TalvexSmsRequest* request, size_t length) {
  if (!request->text || request->text_capacity == 0) return;
  size_t keep = std::min<size_t>(length, request->text_capacity - 1);
  std::fill(request->text + keep, request->text + request->text_capacity, u'\0');
}

}  // namespace

GSMEngine::GSMEngine(ILogInterface* logger) : logger_(logger) {}

GSMEngine::~GSMEngine() { Uninitialize(); }

std::unique_ptr<IGSMConfigurationInterface> GSMEngine::CreateConfigLoader(const char* path, const char* root) {
  try {
    return std::make_unique<XMLLoader>(logger_, path, root);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::unique_ptr<GenericGSMService> GSMEngine::FactoryConstructGSMService(uint32_t service_flag) {
  try {
    std::unique_ptr<GenericGSMService> service(ConstructService(service_flag, logger_));
    if (!service) {
      logger_->Error("GSMEngine::LoadEngineConfigurations - Error. selected service flag is invalid/empty.");
      return nullptr;
    }
    logger_->Info("GSMEngine::LoadEngineConfigurations - selected GSM service: %s", service->GetServiceName());
    return service;
  } catch (const std::bad_alloc&) {
    logger_->Error("GSMEngine::LoadEngineConfigurations -  Allocation Error.");
    return nullptr;
  }
}

void GSMEngine::ReleaseAll() {
  gateway_.reset();
  gateway_traits_ = 0;
  loader_.reset();
  callback_ = nullptr;
  context_ = 0;
  initialised_ = false;
}

int32_t GSMEngine::Initialize(uintptr_t context, TalvexHostCallback callback, TalvexGenericOptions** options_out,
                              const char* path, const char* root) {
  if (!path || !root) return TALVEX_INVALID_PARAMETER;
  if (initialised_) return TALVEX_ALREADY_INITIALISED;
  auto publish = [options_out](TalvexGenericOptions* options) {
    if (options_out) *options_out = options;
  };
  auto fail = [&](int32_t code) {
    ReleaseAll();
    return code;
  };

  context_ = context;
  callback_ = callback;

  loader_ = CreateConfigLoader(path, root);
  if (!loader_) {
    logger_->Error("GSMEngine::Initialize - Failed to create Config Loader.");
    publish(nullptr);
    return fail(TALVEX_FAILED);
  }
  if (!loader_->ReloadConfiguration()) {
    logger_->Error("GSMEngine::Initialize - Failed to load configurations from path [%s] and root [%s]", path, root);
    publish(nullptr);
    return fail(TALVEX_FAILED);
  }
  if (!LoadGenericXMLConfigs(options_.get(), loader_.get())) {
    logger_->Error("GSMEngine::Initialize - LoadGenericXMLConfigs - Failed.");
    publish(nullptr);
    return fail(TALVEX_FAILED);
  }
  TalvexGenericOptions* options = options_.get();
  publish(options);

  if (options->enableengine == 0) {
    logger_->Warn("GSMEngine::Initialize - SMS Engine Disabled.");
    return fail(TALVEX_ENGINE_DISABLED);
  }
  gateway_ = FactoryConstructGSMService(options->service_flag);
  if (!gateway_) {
    logger_->Error("GSMEngine::Initialize - FactoryConstructGSMService - Failed.");
    return fail(TALVEX_FAILED);
  }
  const ServiceDescriptor* descriptor = FindServiceByFlag(AvailableServices(), options->service_flag);
  gateway_traits_ = descriptor ? descriptor->traits : 0;
  if (!gateway_->LoadServiceSpecficConfigurations(options, loader_.get()) ||
      !gateway_->ServiceInit(callback_, context_, loader_.get())) {
    logger_->Error(
        "GSMEngine::Initialize - Error. failed to load service specfic configuration details from xml ...(Srv: %s)",
        gateway_->GetServiceName());
    return fail(TALVEX_FAILED);
  }
  options->multi_line = (gateway_->GetServiceFlags() & kCapMultiLine) ? 1 : 0;
  if (auto* lines = dynamic_cast<IServiceMultiLine*>(gateway_.get()); lines && options->multi_line)
    lines->ServiceInitLines();
  initialised_ = true;
  return TALVEX_OK;
}

int32_t GSMEngine::SendSMS(TalvexSmsRequest* request) {
  if (!initialised_) {
    logger_->Error("GSMEngine::SendSMS - Not Init.");
    return TALVEX_NOT_INITIALISED;
  }
  if (!request || !gateway_ || !request->text) {
    logger_->Error("GSMEngine::SendSMS - Invalid parameter(s).");
    return TALVEX_INVALID_PARAMETER;
  }
  TalvexGenericOptions* o = options_.get();
  logger_->Info("GSMEngine::SendSMS.");
  logger_->Info(o->disableunicode ? "GSMEngine::SendSMS - Unicode Disabled."
                                  : "GSMEngine::SendSMS - Unicode Not Disabled.");
  // Sends may run on several threads at once (gateways with
  // kTraitConcurrentSends): this is the one write they share.
  std::atomic_ref<int32_t> stored_split(o->maxsmssplit);
  int32_t max_split = stored_split.load();
  if (max_split <= 0) stored_split.store(max_split = 1);

  // The capacity bounds every read of the host's buffer. A text whose end is
  // not inside it is refused: sending a cut text would report it as sent.
  std::u16string_view text(request->text, Utf16Length(request->text, request->text_capacity));
  if (text.size() >= request->text_capacity) {
    logger_->Error("GSMEngine::SendSMS - Invalid parameter(s): the text has no end within its capacity of %u.",
                   request->text_capacity);
    return TALVEX_INVALID_PARAMETER;
  }
  const bool splits_itself = gateway_->GetServiceFlags() & kCapSplitsItself;
  const sms::TextFit fit = sms::FitText(text, {splits_itself, (gateway_traits_ & kTraitCountsGsmAlphabet) != 0,
                                               o->disableunicode != 0, o->splitsms != 0, o->maxsmschars, max_split});
  if (splits_itself) return SendWhole(request, text, fit.kept);
  return SendInParts(request, text, fit.chars_per_part, fit.max_parts, max_split);
}

// The part handed to the gateway always lies in the host's own buffer, cut
// there before the call: nothing in the request points at engine memory once
// the call returns. After a 112 the outcome may already have reached the host,
// which may have changed or released the request, so the engine never writes
// into it again.
int32_t GSMEngine::SendWhole(TalvexSmsRequest* request, std::u16string_view text, size_t kept) {
  if (kept < text.size()) KeepHostPrefix(request, kept);
  int32_t code = SendPart(request, request->text);
  if (code != TALVEX_OK && code != TALVEX_PENDING) logger_->Error("GSMEngine::SendSMS - failed. [qverc: %d]", code);
  return code;
}

int32_t GSMEngine::SendInParts(TalvexSmsRequest* request, std::u16string_view host_text, int32_t chars_per_part,
                               uint32_t max_parts, int32_t max_split) {
  // Each part is cut in the host's buffer before it goes out, which drops the
  // rest there: the parts still to come are taken from this copy.
  const std::u16string text(host_text);
  size_t index = 0;  // everything before it went out
  uint32_t parts_sent = 0;
  int32_t result = TALVEX_FAILED;
  while (parts_sent < max_parts && index < text.size()) {
    std::u16string_view rest = std::u16string_view(text).substr(index);
    size_t length = CutLength(rest, static_cast<size_t>(chars_per_part));
    if (length == 0) length = std::min<size_t>(2, rest.size());  // one character per part: the whole pair
    logger_->Info("GSMEngine::Sending: SentSMS %d, MaxSMS: %d, MaxCharPerSMS: %d, SendingMsgWith: %d",
                  static_cast<int>(parts_sent), max_split, chars_per_part, static_cast<int>(length));
    // The host's buffer shows this part as sent before the call: afterwards it may no longer be ours to write.
    std::copy(rest.begin(), rest.begin() + length, request->text + index);
    KeepHostPrefix(request, index + length);
    result = SendPart(request, request->text + index);
    if (result != TALVEX_OK && result != TALVEX_PENDING) {
      logger_->Error("GSMEngine::SendSMS - failed. [qverc: %d]", result);
      KeepHostPrefix(request, index);  // a failed part is answered at once: the request is still the host's
      break;
    }
    ++parts_sent;
    index += length;
    if (result == TALVEX_PENDING) {
      // Its outcome may already have released the request: nothing more is written into it.
      const size_t left = text.size() - index;
      const size_t room = static_cast<size_t>(std::max(chars_per_part, 1));
      const size_t parts_left = (left + room - 1) / room;
      if (left > 0 && parts_sent < max_parts)
        logger_->Error(
            "GSMEngine::SendSMS - the gateway answered 112 to part %d of %d though it does not split by "
            "itself: the %d part(s) after it are not sent",
            static_cast<int>(parts_sent), static_cast<int>(std::min<size_t>(parts_sent + parts_left, max_parts)),
            static_cast<int>(std::min<size_t>(parts_left, max_parts - parts_sent)));
      break;
    }
  }
  logger_->Info("GSMEngine::SMSSentInfo: NumSent: %d, NumCharacters: %d", static_cast<int>(parts_sent),
                static_cast<int>(index));
  return result;
}

int32_t GSMEngine::SendPart(TalvexSmsRequest* request, const char16_t* part) {
  request->part = part;
  int32_t code = gateway_->ServiceSendSMS(1, static_cast<uint32_t>(options_.get()->disableunicode), request);
  if (code != TALVEX_PENDING) request->part = nullptr;
  return code;
}

int32_t GSMEngine::Update(uint32_t* change_mask, uint32_t host_value_a, uint32_t host_value_b,
                          TalvexGenericOptions** options) {
  OptionsRecord fresh_record;
  TalvexGenericOptions* fresh = fresh_record.get();
  int32_t result = TALVEX_UPDATE_NOT_APPLIED;
  auto loader = CreateConfigLoader(kConfigPath, kConfigRoot);
  if (!loader) {
    logger_->Error("GSMEngine::Update - Error: failed to create configuration loader.");
    return TALVEX_FAILED;
  }
  if (!LoadGenericXMLConfigs(fresh, loader.get())) {
    logger_->Error("GSMEngine::Update - Error: failed to load global configuration flags.");
    return TALVEX_FAILED;
  }
  TalvexGenericOptions* current = options_.get();
  uint32_t changed = 0;
  auto differs = [&](bool differ, uint32_t bit) {
    if (differ) changed |= bit;
    return differ;
  };
  // Both are compared, so both bits are reported.
  bool restart = differs(current->enableengine != fresh->enableengine, TALVEX_OPT_ENABLEENGINE);
  if (differs(current->service_flag != fresh->service_flag, TALVEX_OPT_SELECTEDSERVICE) || restart)
    result = TALVEX_UPDATE_RESTART;
  differs(current->append != fresh->append, TALVEX_OPT_APPEND);
  differs(current->automaticrouting != fresh->automaticrouting, TALVEX_OPT_AUTOMATICROUTING);
  differs(current->splitsms != fresh->splitsms, TALVEX_OPT_SPLITSMS);
  differs(current->detectsignature != fresh->detectsignature, TALVEX_OPT_DETECTSIGNATURE);
  differs(current->disableunicode != fresh->disableunicode, TALVEX_OPT_DISABLEUNICODE);
  differs(current->maxsmschars != fresh->maxsmschars, TALVEX_OPT_MAXSMSCHARS);
  differs(current->maxsmssplit != fresh->maxsmssplit, TALVEX_OPT_MAXSMSSPLIT);
  differs(current->smsautoroute_ttl != fresh->smsautoroute_ttl, TALVEX_OPT_SMSAUTOROUTE_TTL);
  differs(std::strncmp(current->infotype, fresh->infotype, sizeof fresh->infotype) != 0, TALVEX_OPT_INFOTYPE);
  differs(std::strncmp(current->position, fresh->position, sizeof fresh->position) != 0, TALVEX_OPT_POSITION);
  *change_mask |= changed;

  if (result == TALVEX_UPDATE_RESTART || !initialised_) return result;

  result = TALVEX_UPDATE_APPLIED;
  options_ = fresh_record;
  current = options_.get();
  *options = current;
  if (current->enableengine == 0 || !gateway_ || !loader_) return result;

  current->multi_line = (gateway_->GetServiceFlags() & kCapMultiLine) ? 1 : 0;
  if (gateway_->GetServiceFlags() & kCapAppliesUpdates) {
    if (!gateway_->UpdateConfigs(change_mask, current, host_value_b, host_value_a)) {
      logger_->Error("GSMEngine::Update - (%s)->UpdateConfigs Failed", gateway_->GetServiceName());
      result = TALVEX_FAILED;
    }
  } else if (!gateway_->LoadServiceSpecficConfigurations(current, loader_.get())) {
    logger_->Error(
        "GSMEngine::Update - Error. failed to load service specfic configuration details from xml...(Srv: %s)",
        gateway_->GetServiceName());
    result = TALVEX_FAILED;
  }
  return result;
}

void GSMEngine::Uninitialize() {
  if (!initialised_) return;
  logger_->Info("GSMEngine::Uninitialize.");
  if (gateway_) gateway_->ServiceUninit();
  ReleaseAll();
}

int GSMEngine::ConfigLoadOldSettings(TalvexLegacyModemSettings* settings, IGSMConfigurationInterface* loader) {
  if (!settings || !loader) {
    logger_->Error("GSMEngine::ConfigLoadOldSettings: Invalid Parameter(s)");
    return 0;
  }
  settings->comport = 0;
  settings->baudrate = 0;
  static const char16_t kEmpty[] = u"";
  ConfigTable table;
  table.emplace_back(kConfigLoad, u"[comport]", kValueInteger, &settings->comport, 4, nullptr, 0);
  table.emplace_back(kConfigLoad, u"[baudrate]", kValueInteger, &settings->baudrate, 4, nullptr, 1);
  table.emplace_back(kConfigLoad, u"[initstr]", kValueWide, settings->initstr, 511, kEmpty, 1);
  table.emplace_back(kConfigLoad, u"[smsc]", kValueWide, settings->smsc, 511, kEmpty, 1);
  int result = loader->LoadServiceConfigs(WideTransportId(kModemService).c_str(), &table, 0);
  if (!result) logger_->Error("GSMEngine::ConfigLoadOldSettings: - failed to load service configuration(s).");
  return result;
}

}  // namespace talvenix
