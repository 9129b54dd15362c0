// SPDX-License-Identifier: Apache-2.0
#pragma once
// The configuration store as the engine and the gateways see it. Results are
// 1 for success and 0 for failure unless said otherwise. One loader must not
// be used by two threads at the same time.

#include <cstddef>
#include <string>
#include <vector>

#include "contract/config_item.hpp"
#include "contract/log_interface.hpp"

namespace talvenix {

class IGSMConfigurationInterface {
 public:
  virtual ~IGSMConfigurationInterface() = default;

  // Loads the document from its file.
  virtual int ReloadConfiguration() = 0;
  // Name of the service whose transport attribute equals transport_id.
  virtual int ResolveSrvNameFromID(const char16_t* transport_id, char* name, size_t size) = 0;
  // Transport attribute of the named service.
  virtual int ResolveIDFromSrvName(const char* service_name, char* transport_id, size_t size) = 0;
  virtual int LoadGlobalConfigs(ConfigTable* table) = 0;
  // Writes the rows and saves.
  virtual int UpdateGlobalConfigs(ConfigTable* table) = 0;
  // Loads a service's properties, or their descriptions when `descriptions`.
  virtual int LoadServiceConfigs(const char16_t* transport_id, ConfigTable* table, int descriptions) = 0;
  virtual int UpdateServiceConfigs(const char16_t* transport_id, ConfigTable* table) = 0;
  // With a null list: counts the line properties. Otherwise fills one row per
  // property (never more than list->size()) and returns the number of lines.
  virtual int LoadServiceConfigsEx(const char16_t* transport_id, const char16_t* key_id,
                                   std::vector<LinePropertyItem>* list) = 0;
  virtual int UpdateServiceConfigsEx(const char16_t* transport_id, int line_number, const char16_t* key_id,
                                     std::vector<LinePropertyItem>* list) = 0;
  virtual int CreateNewLine(const char16_t* transport_id, const LineTemplate* line) = 0;
  virtual int DeleteLine(const char16_t* transport_id, int line_number) = 0;
  virtual ILogInterface* GetLogger() = 0;
  // Path of the document file as given to the loader (may be relative to the
  // working folder); empty when the loader has no file. Gateways find files
  // that belong beside the document (cacerts.pem) through it.
  virtual std::string GetDocumentPath() { return {}; }
  // Enumeration of a service's properties for the settings screens.
  virtual int findinitproperty(const char* service_name) = 0;
  virtual int findnextproperty(char* name, size_t name_size, char16_t* value, size_t value_size, char* id,
                               size_t id_size) = 0;
};

}  // namespace talvenix
