// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the module may know about a gateway without building one. Every
// gateway's descriptor and the only list of them are in gateways/catalog/. Shared code asks a descriptor's capability
// and trait bits, never "which gateway is this". Descriptors are constants: any thread may read them at any time, and
// nobody frees them.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace talvenix {

// Traits: what the settings exports may do with a gateway's flag.
// ChangeXMLConfigurations and LoadGSMServiceXMLConfigurations accept the flag.
constexpr uint32_t kTraitSettingsExports = 0x1;
// ConfigLoad allocates inside the settings block; FreeXMLLoadResources frees it.
constexpr uint32_t kTraitLoadResources = 0x2;
// With kCapSplitsItself: parts go out in the GSM 7-bit alphabet (UCS-2 only
// for a character it lacks), so the engine counts the gateway's room in septets.
constexpr uint32_t kTraitCountsGsmAlphabet = 0x4;
// Sends with the sender of its own settings (an account's, a SIM's): a
// request's sender name is not used.
constexpr uint32_t kTraitOwnSender = 0x8;
// ServiceSendSMS may run on several threads at once (never beside the
// gateway's other operations): nothing a send uses is shared with another.
constexpr uint32_t kTraitConcurrentSends = 0x10;

// Where one property goes in its gateway's ConfigLoad and ConfigUpdate tables.
struct SettingsRows {
  int32_t value_chars;          // size of its value row (the loader keeps size-1 characters); 4 for numbers
  uint32_t description_offset;  // where the description (UTF-16 text) lands in the settings block
  uint8_t load_row;             // place of its row in both ConfigLoad tables (values, descriptions), from 0
  uint8_t update_row;           // place of its row in the ConfigUpdate table, from 0
};

// One property of a gateway's settings block as the settings screens and the
// `talvenix service` command see it.
struct SettingsField {
  enum Kind : uint32_t { kWide, kNarrow, kInteger, kBoolean };  // UTF-16 text, 8-bit text, int32, int32 0/1
  const char* property_id;                                      // the property's bracketed id, "[apiid]"
  uint32_t mask_bit;                                            // the ConfigUpdate mask bit that writes it
  uint32_t offset;                                              // byte offset inside the settings block
  Kind kind;
  uint32_t capacity;  // characters, terminator included, for the text kinds; 4 otherwise
  bool secret;        // never shown (passwords)
  SettingsRows rows;
  // A field that holds a whole number (ports, intervals; as text or as an
  // integer) takes only values in [min_number, max_number]; both 0 for a
  // field without a numeric range.
  int32_t min_number = 0;
  int32_t max_number = 0;

  bool HasRange() const { return min_number != 0 || max_number != 0; }
  // True when `text` (blanks around it allowed) is a whole number in range.
  bool AcceptsNumber(std::string_view text) const;
};

// An attribute of the service element that load mode 0 also reads, as 8-bit
// text, into the settings block (a sign-up link); it must be there.
struct SettingsAttribute {
  const char* name;
  uint32_t offset;  // inside the settings block
  int32_t chars;    // size of its row (the loader keeps size-1 bytes)
};

// One property of a modem line (the records of TalvexLineRecord), listed in
// the order ConfigUpdate writes them.
struct LineField {
  enum Kind : uint8_t {
    kPort,      // uint32 key; the update writes the record's new port
    kUnsigned,  // uint32
    kSigned,    // int32
    kFlag,      // uint8 0/1, stored "1"/"0"
    kReadMode,  // uint16, 1 stored "BLOCKING", else "NON-BLOCKING"
    kText       // UTF-16 text of TALVEX_LINE_TEXT_CHARS
  };
  const char* property_id;  // "[comport]"
  uint32_t mask_bit;        // the line property mask bit that writes it
  const char16_t* display;  // the name CreateNewLine writes beside it
  Kind kind;
  uint32_t offset;         // inside the line record
  uint8_t template_place;  // its place in a new line, from 0 (the key first)
};

// A setting of the gateway's own that the host's settings block does not
// carry (a submission mode, another endpoint): optional text, read from a
// property's value or an attribute of the service element.
struct GatewaySetting {
  enum Source : uint8_t { kProperty, kServiceAttribute };
  const char* id;  // "[smtpsecurity]" (a property), "endpoint" (an attribute)
  Source source;
  int32_t chars;             // size of its row (the loader keeps size-1 characters)
  const char16_t* fallback;  // its value when absent; null: empty
  bool secret;               // never shown (passwords)
};

// What holds for every row of a gateway's settings tables.
struct SettingsTables {
  uint32_t all_fields_bit = 0;    // the ConfigUpdate mask bit that selects every field
  int32_t description_chars = 0;  // size of every description row
  // Update rows carry the value's size, so the loader reads no further than
  // the field; else 0, and the loader reads the text up to its terminator.
  bool sized_updates = false;
  std::span<const SettingsAttribute> attributes = {};
};

struct ServiceDescriptor {
  uint32_t service_flag;     // TALVEX_SERVICE_*: the gateway's place in the host's numbering
  const char* transport_id;  // the `transport` attribute of its service element
  const char* display_name;  // GetServiceName; null when no gateway implements the flag
  uint32_t capabilities;     // the kCap* bits of contract/service.hpp
  uint32_t traits;           // the kTrait* bits above
  // The settings block that ConfigLoad/ConfigUpdate take (0 and empty when the
  // gateway keeps none, or its block is not a list of properties).
  uint32_t settings_block_size;
  std::span<const SettingsField> settings_fields;
  SettingsTables settings_tables = {};
  std::span<const LineField> line_fields = {};  // kCapMultiLine: every property of a line
  std::span<const GatewaySetting> gateway_settings = {};
};

// The gateway list in transport-id search order (see FindServiceByTransportId).
using ServiceList = std::span<const ServiceDescriptor* const>;

// An id of a descriptor (transport, property, attribute) as the loader takes
// it: ids are ASCII, so each byte is its own UTF-16 unit.
std::u16string WideId(std::string_view id);
inline std::u16string WideTransportId(const ServiceDescriptor& d) {
  return WideId(d.transport_id ? d.transport_id : "");
}

// The entry of the flag, or null. Any thread.
const ServiceDescriptor* FindServiceByFlag(ServiceList services, uint32_t service_flag);
// The first entry, in list order, whose transport id occurs anywhere in `id`
// (case-sensitive), so "my_simple_gsm_v2" finds the modem gateway. Null when
// none does. Any thread.
const ServiceDescriptor* FindServiceByTransportId(ServiceList services, std::string_view id);

}  // namespace talvenix
