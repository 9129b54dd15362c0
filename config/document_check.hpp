// SPDX-License-Identifier: Apache-2.0
#pragma once
// A check of the configuration document for people: what in it would stop
// the engine, each with the line where it is. Used by `talvenix config
// check`; it reads the file itself and changes nothing.

#include <string>
#include <vector>

#include "contract/config_item.hpp"
#include "contract/service_descriptor.hpp"

namespace talvenix {

struct ConfigProblem {
  enum class Kind { kError, kWarning };  // errors stop the engine
  Kind kind;
  int line;  // from 1; 0 when the problem has no place in the text
  std::string text;
};

// `gateways` is the module's gateway list (the catalog's AvailableServices()),
// `global_options` the table the engine loads its global options with: its
// required rows, read as the loader reads them, are the options checked.
std::vector<ConfigProblem> CheckConfigurationDocument(const char* path, const char* category, ServiceList gateways,
                                                      const ConfigTable& global_options);

// Why the document at `path` cannot be read as XML; empty when it can.
std::string ConfigurationReadProblem(const char* path);

}  // namespace talvenix
