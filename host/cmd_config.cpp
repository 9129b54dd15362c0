// SPDX-License-Identifier: Apache-2.0
// `talvenix config show|set NAME VALUE|check|cipher VALUE`: the global
// options of qvsmscomms.xml through the configuration exports, a check of the
// file that points at the lines that would stop the engine, and the value
// cipher for what is stored outside it (SIM PINs in the host settings).

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/document_check.hpp"
#include "engine/generic_options.hpp"
#include "gateways/catalog/catalog.hpp"
#include "host/commands.hpp"
#include "support/value_cipher.hpp"

namespace talvenix::host {

namespace {

constexpr const char* kFile = "qvsmscomms.xml";
constexpr const char* kCategory = "sms";

enum class Kind { kBoolean, kNumber, kText, kService };

struct Option {
  const char* name;
  uint32_t mask;
  Kind kind;
  int32_t TalvexGenericOptions::*number;    // kBoolean, kNumber
  char (TalvexGenericOptions::*text)[500];  // kText
};

constexpr Option kOptions[] = {
    {"enableengine", TALVEX_OPT_ENABLEENGINE, Kind::kBoolean, &TalvexGenericOptions::enableengine, nullptr},
    {"selectedservice", TALVEX_OPT_SELECTEDSERVICE, Kind::kService, nullptr, nullptr},
    {"splitsms", TALVEX_OPT_SPLITSMS, Kind::kBoolean, &TalvexGenericOptions::splitsms, nullptr},
    {"maxsmssplit", TALVEX_OPT_MAXSMSSPLIT, Kind::kNumber, &TalvexGenericOptions::maxsmssplit, nullptr},
    {"maxsmschars", TALVEX_OPT_MAXSMSCHARS, Kind::kNumber, &TalvexGenericOptions::maxsmschars, nullptr},
    {"disableunicode", TALVEX_OPT_DISABLEUNICODE, Kind::kNumber, &TalvexGenericOptions::disableunicode, nullptr},
    {"append", TALVEX_OPT_APPEND, Kind::kBoolean, &TalvexGenericOptions::append, nullptr},
    {"position", TALVEX_OPT_POSITION, Kind::kText, nullptr, &TalvexGenericOptions::position},
    {"infotype", TALVEX_OPT_INFOTYPE, Kind::kText, nullptr, &TalvexGenericOptions::infotype},
    {"detectsignature", TALVEX_OPT_DETECTSIGNATURE, Kind::kBoolean, &TalvexGenericOptions::detectsignature, nullptr},
    {"automaticrouting", TALVEX_OPT_AUTOMATICROUTING, Kind::kBoolean, &TalvexGenericOptions::automaticrouting, nullptr},
    {"smsautoroute_ttl", TALVEX_OPT_SMSAUTOROUTE_TTL, Kind::kNumber, &TalvexGenericOptions::smsautoroute_ttl, nullptr},
};

// A settings screen may select every service that has a gateway's name.
bool Selectable(const ServiceDescriptor* d) { return d->display_name != nullptr; }

const Option* FindOption(const std::string& name) {
  for (const Option& o : kOptions)
    if (name == o.name) return &o;
  return nullptr;
}

std::string ValueOf(const Option& o, const TalvexGenericOptions& options) {
  switch (o.kind) {
    case Kind::kBoolean:
      return options.*o.number ? "yes" : "no";
    case Kind::kNumber:
      return std::to_string(options.*o.number);
    case Kind::kText:
      return std::string(options.*o.text, strnlen(options.*o.text, sizeof(options.*o.text)));
    case Kind::kService:
      return std::string(options.selectedservice, strnlen(options.selectedservice, sizeof options.selectedservice)) +
             " (transport " +
             std::string(options.transport_id, strnlen(options.transport_id, sizeof options.transport_id)) + ")";
  }
  return {};
}

// Opens the configuration exports on the file in the working folder.
bool OpenConfiguration(Module& module) {
  if (!ConfigurationPresent("config")) return false;
  if (module.InitXMLConfigurations(kFile, kCategory)) return true;
  std::fprintf(stderr, "config: the configuration exports did not start; see Talvenix.log\n");
  return false;
}

bool LoadOptions(Module& module, TalvexGenericOptions& options) {
  std::memset(&options, 0, sizeof options);
  return module.LoadGSMGenericXMLConfigurations(&options) != 0;
}

int Show(Module& module) {
  if (!OpenConfiguration(module)) return 1;
  TalvexGenericOptions options;
  bool loaded = LoadOptions(module, options);
  module.Unint();
  if (!loaded) {
    std::fprintf(stderr, "config: the global options of %s could not be loaded; run `talvenix config check`\n", kFile);
    return 1;
  }
  for (const Option& o : kOptions) std::printf("%-18s %s\n", o.name, ValueOf(o, options).c_str());
  return 0;
}

bool ParseBoolean(const std::string& text, int32_t& value) {
  for (const char* yes : {"yes", "true", "on", "1"})
    if (text == yes) return value = 1, true;
  for (const char* no : {"no", "false", "off", "0"})
    if (text == no) return value = 0, true;
  return false;
}

bool ParseNumber(const std::string& text, int32_t& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = std::stoi(text);
  return true;
}

// Puts `text` into the record as the option's new value; false with a
// message when the text is not a value of that option.
bool Assign(const Option& o, const std::string& text, TalvexGenericOptions& options) {
  switch (o.kind) {
    case Kind::kBoolean:
      if (ParseBoolean(text, options.*o.number)) return true;
      std::fprintf(stderr, "config: %s takes yes or no\n", o.name);
      return false;
    case Kind::kNumber:
      if (ParseNumber(text, options.*o.number)) return true;
      std::fprintf(stderr, "config: %s takes a whole number from 0 to 999999999\n", o.name);
      return false;
    case Kind::kText:
      if (text.size() < sizeof(options.*o.text)) {
        std::memcpy(options.*o.text, text.c_str(), text.size() + 1);
        return true;
      }
      std::fprintf(stderr, "config: %s takes at most %zu characters\n", o.name, sizeof(options.*o.text) - 1);
      return false;
    case Kind::kService:
      // The exports write the name of the first service with the chosen transport.
      for (const ServiceDescriptor* d : AvailableServices()) {
        if (!Selectable(d) || text != d->transport_id) continue;
        options.service_flag = d->service_flag;
        return true;
      }
      std::fprintf(stderr, "config: selectedservice takes the transport id of a service:");
      for (const ServiceDescriptor* d : AvailableServices())
        if (Selectable(d)) std::fprintf(stderr, " %s", d->transport_id);
      std::fprintf(stderr, "\n");
      return false;
  }
  return false;
}

// Says why a change was not written: the file does not load, no service
// has the chosen transport, or the folder refuses the new file.
void ExplainFailedChange(const Option& o, const std::string& text) {
  if (std::string problem = ConfigurationReadProblem(kFile); !problem.empty()) {
    std::fprintf(stderr, "config: nothing was changed: %s cannot be read (%s); run `talvenix config check`\n", kFile,
                 problem.c_str());
  } else if (o.kind == Kind::kService) {
    std::fprintf(stderr, "config: nothing was changed: no service in %s has the transport \"%s\"\n", kFile,
                 text.c_str());
  } else if (access(".", W_OK) != 0) {
    std::fprintf(stderr, "config: nothing was changed: this folder cannot be written (%s)\n", std::strerror(errno));
  } else {
    std::fprintf(stderr, "config: %s could not be written; see Talvenix.log\n", kFile);
  }
}

int Set(Module& module, const std::string& name, const std::string& text) {
  const Option* o = FindOption(name);
  if (!o) {
    std::fprintf(stderr, "config: unknown option '%s'; the options are:", name.c_str());
    for (const Option& each : kOptions) std::fprintf(stderr, " %s", each.name);
    std::fprintf(stderr, "\n");
    return 2;
  }
  TalvexGenericOptions options;
  std::memset(&options, 0, sizeof options);
  if (!Assign(*o, text, options)) return 2;
  if (!OpenConfiguration(module)) return 1;
  int changed = module.ChangeXMLGenericConfigurations(&options, o->mask);
  TalvexGenericOptions check;
  bool loaded = changed && LoadOptions(module, check);
  module.Unint();
  if (!changed) {
    ExplainFailedChange(*o, text);
    return 1;
  }
  if (!loaded) {
    std::fprintf(stderr, "config: %s written, but the global options do not load; run `talvenix config check`\n",
                 o->name);
    return 1;
  }
  // Options are changed in place, never added: a missing one stays missing.
  std::string expected = o->kind == Kind::kService ? text : ValueOf(*o, options);
  std::string now = o->kind == Kind::kService
                        ? std::string(check.transport_id, strnlen(check.transport_id, sizeof check.transport_id))
                        : ValueOf(*o, check);
  if (now != expected) {
    std::fprintf(stderr, "config: %s is not in %s; add <option name=\"%s\" value=\"...\"/> to its <config>\n", o->name,
                 kFile, o->name);
    return 1;
  }
  std::printf("%-18s %s\n", o->name, ValueOf(*o, check).c_str());
  return 0;
}

int Check(Module& module) {
  if (!ConfigurationPresent("config")) return 1;
  TalvexGenericOptions unused;  // the table's rows point into it; the check reads only the rows
  std::vector<ConfigProblem> problems =
      CheckConfigurationDocument(kFile, kCategory, AvailableServices(), GlobalOptionsLoadTable(&unused));
  int errors = 0;
  for (const ConfigProblem& p : problems) {
    bool error = p.kind == ConfigProblem::Kind::kError;
    errors += error;
    std::printf("%s:%d: %s: %s\n", kFile, p.line, error ? "error" : "warning", p.text.c_str());
  }
  if (errors == 0) {
    // The module has the last word: it reads the options exactly as the engine will.
    TalvexGenericOptions options;
    bool loaded = OpenConfiguration(module) && LoadOptions(module, options);
    module.Unint();
    if (!loaded) {
      std::printf("%s: error: the module could not load the global options; see Talvenix.log\n", kFile);
      errors = 1;
    }
  }
  if (errors) {
    std::printf("%s: %d problem%s that stop%s the engine\n", kFile, errors, errors == 1 ? "" : "s",
                errors == 1 ? "s" : "");
    return 1;
  }
  std::printf("%s: no problems that stop the engine\n", kFile);
  return 0;
}

}  // namespace

int RunConfig(Module& module, const Args& arguments) {
  Arguments a(arguments);
  Args args = a.Words(1, 3, "show, set NAME VALUE, check or cipher VALUE");
  if (!a.ok()) return a.UsageError("config");
  if (args.size() == 1 && args[0] == "show") return Show(module);
  if (args.size() == 1 && args[0] == "check") return Check(module);
  if (args.size() == 3 && args[0] == "set") return Set(module, args[1], args[2]);
  if (args.size() == 2 && args[0] == "cipher") {
    std::printf("%s\n", EncipherValue(args[1]).c_str());
    return 0;
  }
  std::fprintf(stderr, "usage: talvenix config show | set NAME VALUE | check | cipher VALUE\n");
  return 2;
}

}  // namespace talvenix::host
