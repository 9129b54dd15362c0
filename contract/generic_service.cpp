// SPDX-License-Identifier: Apache-2.0
#include "contract/service.hpp"
#include "contract/settings_tables.hpp"

namespace talvenix {

GenericGSMService::GenericGSMService(ILogInterface* logger, const ServiceDescriptor& descriptor,
                                     const SettingsLogLines& log)
    : capability_flags_(descriptor.capabilities),
      service_flag_(descriptor.service_flag),
      descriptor_(&descriptor),
      settings_log_(log),
      transport_id_(WideTransportId(descriptor)),
      logger_(logger) {}

int GenericGSMService::ConfigLoad(IGSMConfigurationInterface* loader, void* settings_block, uint32_t load_mode) {
  if (!loader || !settings_block || !descriptor_) {
    if (settings_log_.load_invalid) logger_->Error("%s", settings_log_.load_invalid);
    return 0;
  }
  ConfigTable table = SettingsLoadTable(*descriptor_, settings_block, load_mode);
  if (load_mode == 0)
    for (const SettingsAttribute& a : descriptor_->settings_tables.attributes)
      table.emplace_back(kConfigLoad, WideId(a.name), kValueNarrow,
                         static_cast<unsigned char*>(settings_block) + a.offset, a.chars, nullptr, 0,
                         kSourceServiceAttribute);
  int result = loader->LoadServiceConfigs(TransportId(), &table, load_mode == 0 ? 0 : 1);
  if (!result && settings_log_.load_failed) logger_->Error("%s", settings_log_.load_failed);
  return result;
}

int GenericGSMService::ConfigUpdate(IGSMConfigurationInterface* loader, void* settings_block, uint32_t property_mask) {
  if (!loader || !settings_block || !descriptor_) {
    if (settings_log_.update_invalid) logger_->Error("%s", settings_log_.update_invalid);
    return 0;
  }
  ConfigTable table = SettingsUpdateTable(*descriptor_, settings_block, property_mask);
  int result = loader->UpdateServiceConfigs(TransportId(), &table);
  if (!result && settings_log_.update_failed) logger_->Error("%s", settings_log_.update_failed);
  return result;
}

std::vector<std::u16string> GenericGSMService::LoadGatewaySettings(IGSMConfigurationInterface* loader) {
  std::span<const GatewaySetting> settings =
      descriptor_ ? descriptor_->gateway_settings : std::span<const GatewaySetting>();
  std::vector<std::u16string> values(settings.size());
  if (!loader || settings.empty()) return values;
  std::vector<std::u16string> buffers;
  buffers.reserve(settings.size());  // the rows point into them
  ConfigTable table;
  for (const GatewaySetting& s : settings) {
    buffers.emplace_back(static_cast<size_t>(s.chars), u'\0');
    table.emplace_back(kConfigLoad, WideId(s.id), kValueWide, buffers.back().data(), s.chars,
                       s.fallback ? s.fallback : u"", 1,
                       s.source == GatewaySetting::kProperty ? kSourceValue : kSourceServiceAttribute);
  }
  if (loader->LoadServiceConfigs(TransportId(), &table, 0))
    for (size_t i = 0; i < settings.size(); ++i) values[i] = buffers[i].c_str();
  for (size_t i = 0; i < settings.size(); ++i)
    if (settings[i].secret) {
      volatile char16_t* p = buffers[i].data();  // not dropped as a dead store
      for (size_t k = 0; k < buffers[i].size(); ++k) p[k] = 0;
    }
  return values;
}

}  // namespace talvenix
