// SPDX-License-Identifier: Apache-2.0
// `talvenix service show|set PROPERTY VALUE`: the selected gateway's properties
// through the settings exports, written once for every gateway from the
// property list of its descriptor.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gateways/catalog/catalog.hpp"
#include "host/arguments.hpp"
#include "host/commands.hpp"
#include "support/text_codec.hpp"

namespace talvenix::host {
namespace {

constexpr const char* kFile = "qvsmscomms.xml";

std::string FieldText(const SettingsField& f, const std::vector<uint8_t>& block) {
  const uint8_t* at = block.data() + f.offset;
  switch (f.kind) {
    case SettingsField::kWide: {
      auto* text = reinterpret_cast<const char16_t*>(at);
      return Utf16ToUtf8({text, Utf16Length(text, f.capacity)});
    }
    case SettingsField::kNarrow:
      return std::string(reinterpret_cast<const char*>(at), strnlen(reinterpret_cast<const char*>(at), f.capacity));
    case SettingsField::kInteger:
    case SettingsField::kBoolean: {
      int32_t v;
      std::memcpy(&v, at, sizeof v);
      return std::to_string(v);
    }
  }
  return {};
}

// Puts `text` into the block; false with a message when it does not fit or is no number.
bool Assign(const SettingsField& f, const std::string& text, std::vector<uint8_t>& block) {
  uint8_t* at = block.data() + f.offset;
  if (f.HasRange() && !f.AcceptsNumber(text)) {
    std::fprintf(stderr, "service: %s takes a whole number from %d to %d\n", f.property_id, f.min_number, f.max_number);
    return false;
  }
  if (f.kind == SettingsField::kWide || f.kind == SettingsField::kNarrow) {
    std::u16string wide = Utf8ToUtf16(text);
    size_t length = f.kind == SettingsField::kWide ? wide.size() : text.size();
    if (length >= f.capacity) {
      std::fprintf(stderr, "service: %s takes at most %u characters\n", f.property_id, f.capacity - 1);
      return false;
    }
    if (f.kind == SettingsField::kWide)
      CopyBounded(reinterpret_cast<char16_t*>(at), f.capacity, wide);
    else
      CopyBounded(reinterpret_cast<char*>(at), f.capacity, text);
    return true;
  }
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || v < INT32_MIN || v > INT32_MAX ||
      (f.kind == SettingsField::kBoolean && v != 0 && v != 1)) {
    std::fprintf(stderr, "service: %s takes %s\n", f.property_id,
                 f.kind == SettingsField::kBoolean ? "0 or 1" : "a whole number");
    return false;
  }
  int32_t value = static_cast<int32_t>(v);
  std::memcpy(at, &value, sizeof value);
  return true;
}

// The selected gateway's descriptor and its current properties; null with a message when there are none.
const ServiceDescriptor* LoadSelected(Module& module, std::vector<uint8_t>& block) {
  if (!ConfigurationPresent("service")) return nullptr;
  if (!module.InitXMLConfigurations(kFile, "sms")) {
    std::fprintf(stderr, "service: the configuration exports did not start; see Talvenix.log\n");
    return nullptr;
  }
  TalvexGenericOptions options;
  std::memset(&options, 0, sizeof options);
  if (!module.LoadGSMGenericXMLConfigurations(&options)) {
    std::fprintf(stderr, "service: the global options of %s do not load; run `talvenix config check`\n", kFile);
    return nullptr;
  }
  const ServiceDescriptor* d = FindServiceByFlag(AvailableServices(), options.service_flag);
  if (!d || d->settings_fields.empty()) {
    std::fprintf(stderr, "service: the selected service (%s) has no properties for this command%s\n",
                 options.selectedservice, d && d->service_flag == TALVEX_SERVICE_GSM ? "; use `talvenix lines`" : "");
    return nullptr;
  }
  block.assign(d->settings_block_size, 0);
  if (!module.LoadGSMServiceXMLConfigurations(d->service_flag, block.data(), 0)) {
    std::fprintf(stderr, "service: the properties of %s do not load; see Talvenix.log\n", d->display_name);
    return nullptr;
  }
  return d;
}

const SettingsField* FindField(const ServiceDescriptor& d, std::string name) {
  if (name.empty() || name.front() != '[') name = "[" + name + "]";
  for (const SettingsField& f : d.settings_fields)
    if (name == f.property_id) return &f;
  return nullptr;
}

void Print(const ServiceDescriptor& d, const std::vector<uint8_t>& block) {
  for (const SettingsField& f : d.settings_fields) {
    std::string value = FieldText(f, block);
    std::printf("%-14s %s\n", f.property_id, f.secret && !value.empty() ? "****" : value.c_str());
  }
}

int Show(Module& module) {
  std::vector<uint8_t> block;
  const ServiceDescriptor* d = LoadSelected(module, block);
  module.Unint();
  if (!d) return 1;
  std::printf("%s\n", d->display_name);
  Print(*d, block);
  return 0;
}

int Set(Module& module, const std::string& name, const std::string& text) {
  std::vector<uint8_t> block;
  const ServiceDescriptor* d = LoadSelected(module, block);
  if (!d) {
    module.Unint();
    return 1;
  }
  const SettingsField* f = FindField(*d, name);
  if (!f) {
    module.Unint();
    std::fprintf(stderr, "service: %s has no property '%s'; its properties are:", d->display_name, name.c_str());
    for (const SettingsField& each : d->settings_fields) std::fprintf(stderr, " %s", each.property_id);
    std::fprintf(stderr, "\n");
    return 2;
  }
  if (!Assign(*f, text, block)) {
    module.Unint();
    return 2;
  }
  int changed = module.ChangeXMLConfigurations(d->service_flag, block.data(), f->mask_bit);
  module.Unint();
  if (!changed) {
    std::fprintf(stderr, "service: %s could not be written; see Talvenix.log\n", f->property_id);
    return 1;
  }
  std::printf("%-14s %s\n", f->property_id, f->secret ? "****" : text.c_str());
  return 0;
}

}  // namespace

int RunService(Module& module, const Args& arguments) {
  Arguments a(arguments);
  Args args = a.Words(1, 3, "show or set PROPERTY VALUE");
  if (!a.ok()) return a.UsageError("service");
  if (args.size() == 1 && args[0] == "show") return Show(module);
  if (args.size() == 3 && args[0] == "set") return Set(module, args[1], args[2]);
  std::fprintf(stderr, "usage: talvenix service show | set PROPERTY VALUE\n");
  return 2;
}

}  // namespace talvenix::host
