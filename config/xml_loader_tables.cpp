// SPDX-License-Identifier: Apache-2.0
// XMLLoader: loading and writing settings tables (global options and a
// service's properties).

#include <cstring>
#include <string>

#include "config/value_encoding.hpp"
#include "config/xml_loader.hpp"
#include "config/xml_loader_rules.hpp"
#include "support/text_codec.hpp"

namespace talvenix {

namespace {

// Room of the loader's own buffer for values whose destination is a number:
// the row's size (4) says nothing about how long their text may be.
constexpr size_t kWorkingBuffer = 5000;

bool IsText(const ConfigItem& row) { return row.value_type == kValueWide || row.value_type == kValueNarrow; }

size_t ReadLimit(const ConfigItem& row) {
  if (!IsText(row)) return kWorkingBuffer;
  return row.size > 0 ? static_cast<size_t>(row.size) : 0;
}

// Stores a value that was found, or else the row's default, into the
// row's destination, cut to the destination's size.
void StoreValue(const ConfigItem& row, bool found, const std::u16string& text) {
  if (!row.destination) return;
  switch (row.value_type) {
    case kValueNarrow: {
      if (row.size < 1) return;
      const char* fallback = row.default_value ? static_cast<const char*>(row.default_value) : "";
      CopyBounded(static_cast<char*>(row.destination), static_cast<size_t>(row.size),
                  found ? Utf16ToUtf8(text) : std::string(fallback));
      break;
    }
    case kValueWide: {
      if (row.size < 1) return;
      const char16_t* fallback = row.default_value ? static_cast<const char16_t*>(row.default_value) : u"";
      CopyBounded(static_cast<char16_t*>(row.destination), static_cast<size_t>(row.size),
                  found ? std::u16string_view(text) : std::u16string_view(fallback));
      break;
    }
    case kValueBoolean: {
      int32_t fallback = row.default_value ? *static_cast<const int32_t*>(row.default_value) : 0;
      *static_cast<int32_t*>(row.destination) = found ? (ReadsAsYes(text) ? 1 : 0) : fallback;
      break;
    }
    case kValueInteger: {
      int32_t fallback = row.default_value ? *static_cast<const int32_t*>(row.default_value) : 0;
      *static_cast<int32_t*>(row.destination) = found ? ReadDigits(text) : fallback;
      break;
    }
    default:
      break;
  }
}

// The text an update writes for a row: its destination as text, "yes" or
// "no", or decimal digits. A null destination writes an empty text.
std::u16string UpdateText(const ConfigItem& row) {
  if (!row.destination) return {};
  switch (row.value_type) {
    case kValueNarrow: {
      auto* text = static_cast<const char*>(row.destination);
      return Utf8ToUtf16(
          std::string_view(text, row.size > 0 ? strnlen(text, static_cast<size_t>(row.size)) : std::strlen(text)));
    }
    case kValueWide: {
      auto* text = static_cast<const char16_t*>(row.destination);
      return std::u16string(text, Utf16Length(text, row.size > 0 ? static_cast<size_t>(row.size) : SIZE_MAX));
    }
    case kValueBoolean:
      return Utf8ToUtf16(BooleanText(*static_cast<const int32_t*>(row.destination) != 0));
    case kValueInteger:
      return Utf8ToUtf16(std::to_string(*static_cast<const int32_t*>(row.destination)));
    default:
      return {};
  }
}

}  // namespace

int XMLLoader::LoadGlobalConfigs(ConfigTable* table) {
  if (!table) {
    logger_->Error("XMLLoader::LoadGlobalConfigs - Invalid parameter(s).");
    return 0;
  }
  if (!ReloadConfiguration()) return 0;
  for (const ConfigItem& row : *table) {
    GlobalOptionPlace place;
    if (row.direction != kConfigLoad || !GlobalOptionPlaceOf(row, place)) continue;
    std::u16string text;
    bool found = getglobaloption(place.option.c_str(), text, place.attribute.c_str());
    // A required option stops the load; the rows after it keep their values.
    if (!found && IsRequired(row)) return 0;
    StoreValue(row, found, text);
  }
  return 1;
}

int XMLLoader::UpdateGlobalConfigs(ConfigTable* table) {
  if (!table) {
    logger_->Error("XMLLoader::UpdateGlobalConfigs - Invalid parameter(s).");
    return 0;
  }
  platform::FileLock lock;
  if (!LockForEditing(lock, "UpdateGlobalConfigs")) return 0;
  if (!Reload(XmlLoadMode::kForEditing)) return 0;
  for (const ConfigItem& row : *table) {
    GlobalOptionPlace place;
    if (row.direction != kConfigUpdate || !GlobalOptionPlaceOf(row, place)) continue;
    if (!setglobaloption(place.option.c_str(), Utf16ToUtf8(UpdateText(row)).c_str(), place.attribute.c_str()))
      logger_->Warn("XMLLoader::UpdateGlobalConfigs - Failed to Update XML Setting [%s].", Utf16ToUtf8(row.id).c_str());
  }
  int saved = parser_.saveconfiguration(path_.c_str());
  if (!saved) logger_->Error("XMLLoader::UpdateGlobalConfigs - Saveconfiguration Failed.");
  return saved;
}

int XMLLoader::LoadServiceConfigs(const char16_t* transport_id, ConfigTable* table, int descriptions) {
  if (!table || !transport_id) {
    logger_->Error("XMLLoader::LoadServiceConfigs - Invalid parameter(s).");
    return 0;
  }
  if (!ReloadConfiguration()) return 0;
  std::string service;
  if (!FindServiceName(transport_id, service)) {
    logger_->Error("XMLLoader::LoadServiceConfigs - Failed To resolve service name from transport ID.");
    return 0;
  }
  for (const ConfigItem& row : *table) {
    if (row.direction != kConfigLoad) continue;
    std::string id = Utf16ToUtf8(row.id);
    size_t limit = ReadLimit(row);
    std::u16string text;
    bool found = false;
    switch (row.source) {
      case kSourceValue:
        found = descriptions ? getpropertydescription(service.c_str(), id.c_str(), text, limit)
                             : getpropertyvaluefromid(service.c_str(), id.c_str(), text, limit, nullptr);
        break;
      case kSourceServiceAttribute: {
        std::string narrow;
        found = row.optional ? ReadServiceAttribute(service.c_str(), id.c_str(), narrow)
                             : getservicespecial(service.c_str(), id.c_str(), narrow);
        if (found) text = Utf8ToUtf16(narrow);
        break;
      }
      case kSourceTemplateField:
        found = gettemplatedata(Utf16ToUtf8(row.second_name).c_str(), id.c_str(), text, limit);
        break;
      default:  // option attributes are global; a service table cannot reach them
        break;
    }
    if (!found) {
      if (!row.optional) {
        logger_->Error("Failed To Load Config [%s] ", id.c_str());
        return 0;
      }
      // An optional attribute of the service element (an endpoint, a sign-up
      // link) is absent from most documents: a warning at every start says nothing.
      if (row.source == kSourceServiceAttribute)
        logger_->InfoW(u"LoadServiceConfigs: Failed to load [%s]", row.id.c_str());
      else
        logger_->WarnW(u"LoadServiceConfigs: Failed to load [%s]", row.id.c_str());
    }
    StoreValue(row, found, text);
  }
  return 1;
}

int XMLLoader::UpdateServiceConfigs(const char16_t* transport_id, ConfigTable* table) {
  if (!table || !transport_id) {
    logger_->Error("XMLLoader::UpdateServiceConfigs - Invalid parameter(s).");
    return 0;
  }
  platform::FileLock lock;
  if (!LockForEditing(lock, "UpdateServiceConfigs")) return 0;
  if (!Reload(XmlLoadMode::kForEditing)) return 0;
  std::string service;
  if (!FindServiceName(transport_id, service)) {
    logger_->Error("XMLLoader::UpdateServiceConfigs  - Failed To resolve service name from transport ID.");
    return 0;
  }
  // Nothing reaches the file unless every row was written.
  for (const ConfigItem& row : *table) {
    if (row.direction != kConfigUpdate || row.source != kSourceValue) continue;
    if (!row.destination || !setpropertyvalue(service.c_str(), Utf16ToUtf8(row.id).c_str(), UpdateText(row).c_str())) {
      logger_->Error("XMLLoader::UpdateServiceConfigs - Failed to Update Setting(s).");
      return 0;
    }
  }
  int saved = parser_.saveconfiguration(path_.c_str());
  if (!saved) logger_->Error("XMLLoader::UpdateServiceConfigs - Saveconfiguration Failed.");
  return saved;
}

}  // namespace talvenix
