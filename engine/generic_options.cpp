// SPDX-License-Identifier: Apache-2.0
// Loading and writing the global options through the configuration loader.
// They live beside the gateway catalog, which maps transport ids to service flags.

#include "engine/generic_options.hpp"

#include <cstring>

#include "contract/configuration_interface.hpp"
#include "contract/service.hpp"
#include "gateways/catalog/catalog.hpp"
#include "support/text_codec.hpp"

namespace talvenix {
namespace {

// True when `name` is a service of the document whose transport belongs to
// `service_flag` (by the same rule as loading), so saving it keeps the choice.
bool NamesServiceOfFlag(IGSMConfigurationInterface* loader, const char* name, uint32_t service_flag) {
  if (!name[0]) return false;
  char transport[499] = {};
  return loader->ResolveIDFromSrvName(name, transport, sizeof transport) &&
         ServiceFlagOfTransportId(transport) == service_flag;
}

}  // namespace

ConfigTable GlobalOptionsLoadTable(TalvexGenericOptions* o) {
  static const int32_t kOne = 1, kZero = 0, kThree = 3, kTtl = 300, kChars = 160;
  ConfigTable table;
  table.reserve(12);
  table.emplace_back(kConfigLoad, u"enableengine", kValueBoolean, &o->enableengine, 4);
  table.emplace_back(kConfigLoad, u"selectedservice", kValueNarrow, o->selectedservice, 899);
  table.emplace_back(kConfigLoad, u"splitsms", kValueBoolean, &o->splitsms, 4, &kOne, 1);
  table.emplace_back(kConfigLoad, u"maxsmssplit", kValueInteger, &o->maxsmssplit, 4, &kThree, 1);
  table.emplace_back(kConfigLoad, u"append", kValueBoolean, &o->append, 4, &kZero, 1);
  table.emplace_back(kConfigLoad, u"detectsignature", kValueBoolean, &o->detectsignature, 4, &kZero, 1);
  table.emplace_back(kConfigLoad, u"automaticrouting", kValueBoolean, &o->automaticrouting, 4, &kOne, 1);
  table.emplace_back(kConfigLoad, u"smsautoroute_ttl", kValueInteger, &o->smsautoroute_ttl, 4, &kTtl, 1);
  table.emplace_back(kConfigLoad, u"maxsmschars", kValueInteger, &o->maxsmschars, 4, &kChars, 1);
  table.emplace_back(kConfigLoad, u"infotype", kValueNarrow, o->infotype, 499, "display", 1, kSourceOptionAttribute,
                     u"append");
  table.emplace_back(kConfigLoad, u"position", kValueNarrow, o->position, 499, "after", 1, kSourceOptionAttribute,
                     u"append");
  table.emplace_back(kConfigLoad, u"disableunicode", kValueInteger, &o->disableunicode, 4, &kZero, 1);
  return table;
}

int LoadGenericXMLConfigs(TalvexGenericOptions* o, IGSMConfigurationInterface* loader) {
  if (!o || !loader) return 0;
  ILogInterface* log = loader->GetLogger();
  ConfigTable table = GlobalOptionsLoadTable(o);
  int result = loader->LoadGlobalConfigs(&table);
  if (!result) {
    if (log) log->Error("GenericGSMService::LoadGenericXMLConfigs - Failed.");
    return 0;
  }
  if (!loader->ResolveIDFromSrvName(o->selectedservice, o->transport_id, 499)) {
    if (log)
      log->Error("GenericGSMService::LoadGenericXMLConfigs - Failed to load service ID from [%s]", o->selectedservice);
    return 0;
  }
  o->service_flag = ServiceFlagOfTransportId(o->transport_id);
  if (o->service_flag == TALVEX_SERVICE_INVALID) {
    if (log) log->Error("GenericGSMService::LoadGenericXMLConfigs - Invalid Service ID [%s]", o->transport_id);
    return 0;
  }
  if (o->maxsmschars == 0) o->maxsmschars = 160;
  return result;
}

int UpdateGenericXMLConfigs(IGSMConfigurationInterface* loader, TalvexGenericOptions* o, uint32_t mask) {
  if (!loader || !o) return 0;
  ILogInterface* log = loader->GetLogger();
  auto selected = [mask](uint32_t bit) { return (mask & bit) || (mask & TALVEX_OPT_ALL); };

  ConfigTable table;
  table.reserve(12);
  if (selected(TALVEX_OPT_SELECTEDSERVICE)) {
    const char* id = TransportIdOf(o->service_flag);
    if (!id) {
      if (log) log->Error("GenericGSMService::UpdateGenericXMLConfigs - invalid service selected.");
      return 0;
    }
    if (!NamesServiceOfFlag(loader, o->selectedservice, o->service_flag)) {
      // The record's name belongs to another gateway: name the service of
      // this one. Writing an empty or foreign name would stop the engine.
      std::u16string wide_id(id, id + std::strlen(id));  // transport ids are ASCII
      char name[899] = {};
      if (!loader->ResolveSrvNameFromID(wide_id.c_str(), name, sizeof name) || !name[0]) {
        if (log)
          log->Error("GenericGSMService::UpdateGenericXMLConfigs - no service with transport [%s] to select.", id);
        return 0;
      }
      CopyBounded(o->selectedservice, 899, std::string_view(name, strnlen(name, sizeof name)));
    }
    table.emplace_back(kConfigUpdate, u"selectedservice", kValueNarrow, o->selectedservice, 899);
  }
  struct Row {
    uint32_t bit;
    const char16_t* id;
    int32_t type;
    void* destination;
    int32_t size;
    int32_t source;
    const char16_t* second;
  };
  const Row rows[] = {
      {TALVEX_OPT_ENABLEENGINE, u"enableengine", kValueBoolean, &o->enableengine, 4, 0, u""},
      {TALVEX_OPT_SPLITSMS, u"splitsms", kValueBoolean, &o->splitsms, 4, 0, u""},
      {TALVEX_OPT_MAXSMSSPLIT, u"maxsmssplit", kValueInteger, &o->maxsmssplit, 4, 0, u""},
      {TALVEX_OPT_APPEND, u"append", kValueBoolean, &o->append, 4, 0, u""},
      {TALVEX_OPT_DETECTSIGNATURE, u"detectsignature", kValueBoolean, &o->detectsignature, 4, 0, u""},
      {TALVEX_OPT_AUTOMATICROUTING, u"automaticrouting", kValueBoolean, &o->automaticrouting, 4, 0, u""},
      {TALVEX_OPT_SMSAUTOROUTE_TTL, u"smsautoroute_ttl", kValueInteger, &o->smsautoroute_ttl, 4, 0, u""},
      {TALVEX_OPT_MAXSMSCHARS, u"maxsmschars", kValueInteger, &o->maxsmschars, 4, 0, u""},
      {TALVEX_OPT_INFOTYPE, u"infotype", kValueNarrow, o->infotype, 499, kSourceOptionAttribute, u"append"},
      {TALVEX_OPT_POSITION, u"position", kValueNarrow, o->position, 499, kSourceOptionAttribute, u"append"},
      {TALVEX_OPT_DISABLEUNICODE, u"disableunicode", kValueInteger, &o->disableunicode, 4, 0, u""},
  };
  for (const Row& r : rows)
    if (selected(r.bit))
      table.emplace_back(kConfigUpdate, r.id, r.type, r.destination, r.size, nullptr, 1, r.source, r.second);

  if (table.empty()) {
    if (log) log->Error("GenericGSMService::UpdateGenericXMLConfigs - Failed, Invalid Flags.");
    return 0;
  }
  int result = loader->UpdateGlobalConfigs(&table);
  if (!result && log) log->Error("GenericGSMService::UpdateGenericXMLConfigs - Failed.");
  return result;
}

}  // namespace talvenix
