// SPDX-License-Identifier: Apache-2.0
// `talvenix lines`: list, add, change and delete GSM modem lines in
// qvsmscomms.xml through the module's line exports, as a settings screen would.

#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "contract/line_fields.hpp"
#include "gateways/catalog/catalog.hpp"
#include "host/commands.hpp"
#include "support/text_codec.hpp"

namespace talvenix::host {
namespace {

constexpr const char* kDocument = "qvsmscomms.xml";
constexpr uint32_t kGsm = TALVEX_SERVICE_GSM;

using Field = LineField;

std::span<const LineField> Fields() { return kModemService.line_fields; }

// The property id without its brackets, as the command names a field.
std::string_view NameOf(const Field& f) {
  std::string_view id = f.property_id;
  return id.substr(1, id.size() - 2);
}

void PrintFieldNames() {
  std::vector<const Field*> in_line_order(Fields().size());
  for (const Field& f : Fields()) in_line_order[f.template_place] = &f;
  std::fprintf(stderr, "fields:");
  for (const Field* f : in_line_order)
    std::fprintf(stderr, " %.*s", static_cast<int>(NameOf(*f).size()), NameOf(*f).data());
  std::fprintf(stderr, "\n");
}

const Field* FindField(const std::string& name) { return FindLineField(Fields(), name); }

bool ParseNumber(const std::string& text, uint32_t& out) {
  const char* end = text.data() + text.size();
  auto [ptr, error] = std::from_chars(text.data(), end, out);
  return !text.empty() && error == std::errc() && ptr == end;
}

bool ParseFlag(const std::string& text, uint8_t& out) {
  if (text == "1" || text == "yes" || text == "true" || text == "on")
    out = 1;
  else if (text == "0" || text == "no" || text == "false" || text == "off")
    out = 0;
  else
    return false;
  return true;
}

// Stores `value` into the record's field; false with a message on stderr.
bool SetField(TalvexLineRecord& line, const Field& field, const std::string& value) {
  const std::string name(NameOf(field));
  uint32_t number = 0;
  uint8_t flag = 0;
  switch (field.kind) {
    case Field::kPort:
    case Field::kUnsigned:
    case Field::kSigned:
      if (!ParseNumber(value, number) || (field.kind == Field::kSigned && number > INT32_MAX) ||
          (field.kind == Field::kPort && number == 0)) {  // COM ports count from 1
        std::fprintf(stderr, "lines: %s needs a whole number, not '%s'\n", name.c_str(), value.c_str());
        return false;
      }
      if (field.kind == Field::kPort)
        line.new_comport = number;
      else if (field.kind == Field::kSigned)
        LineMember<int32_t>(line, field) = static_cast<int32_t>(number);
      else
        LineMember<uint32_t>(line, field) = number;
      return true;
    case Field::kFlag:
      if (!ParseFlag(value, flag)) {
        std::fprintf(stderr, "lines: %s is yes or no (1 or 0), not '%s'\n", name.c_str(), value.c_str());
        return false;
      }
      LineMember<uint8_t>(line, field) = flag;
      return true;
    case Field::kReadMode:
      if (value != "BLOCKING" && value != "NON-BLOCKING") {
        std::fprintf(stderr, "lines: %s is BLOCKING or NON-BLOCKING, not '%s'\n", name.c_str(), value.c_str());
        return false;
      }
      LineMember<uint16_t>(line, field) = value == "BLOCKING" ? 1 : 0;
      return true;
    case Field::kText: {
      std::u16string text = Utf8ToUtf16(value);
      if (text.size() >= TALVEX_LINE_TEXT_CHARS) {
        std::fprintf(stderr, "lines: %s holds at most %d characters\n", name.c_str(), TALVEX_LINE_TEXT_CHARS - 1);
        return false;
      }
      CopyBounded(LineMember<char16_t[TALVEX_LINE_TEXT_CHARS]>(line, field), TALVEX_LINE_TEXT_CHARS, text);
      return true;
    }
  }
  return false;
}

std::string Text(const char16_t* field) {
  return Utf16ToUtf8(std::u16string(field, Utf16Length(field, TALVEX_LINE_TEXT_CHARS)));
}
const char* YesNo(uint8_t flag) { return flag ? "yes" : "no"; }

// The configuration exports over the document of the working folder, released on exit.
class Settings {
 public:
  explicit Settings(Module& module) : m_(module) {}
  ~Settings() {
    if (list_) m_.FreeXMLLoadResources(&list_, kGsm);
    m_.Unint();
  }
  // Opens the exports on the document; false (said on stderr) when there is none.
  bool Open() {
    if (!std::filesystem::exists(kDocument)) {
      std::fprintf(stderr, "lines: there is no %s in this folder; use --dir DIR to name the folder that holds it\n",
                   kDocument);
      return false;
    }
    ok_ = m_.InitXMLConfigurations(kDocument, "sms") != 0;
    if (!ok_) std::fprintf(stderr, "lines: the module could not open %s\n", kDocument);
    return ok_;
  }
  Module& module() { return m_; }

  // The lines as the document holds them now; null when they cannot be read.
  TalvexLineRecordList* Lines() {
    if (list_) m_.FreeXMLLoadResources(&list_, kGsm);
    if (!m_.LoadGSMServiceXMLConfigurations(kGsm, &list_, 0)) {
      std::fprintf(stderr, "lines: the lines could not be read; see Talvenix.log\n");
      return nullptr;
    }
    return list_;
  }
  // The line of `port` in the list read last; null when none.
  TalvexLineRecord* Find(uint32_t port) {
    for (uint32_t i = 0; list_ && i < list_->count; ++i)
      if (list_->lines[i]->comport == port) return list_->lines[i];
    return nullptr;
  }

 private:
  Module& m_;
  bool ok_ = false;
  TalvexLineRecordList* list_ = nullptr;
};

// The COM port of "--port N", which every action but list needs.
uint32_t TakePort(Arguments& a) {
  a.Require("--port", "N, the line's COM port");
  return static_cast<uint32_t>(a.Number("--port", 0, 1, UINT32_MAX));
}

int List(Settings& settings) {
  TalvexLineRecordList* list = settings.Lines();
  if (!list) return 1;
  if (list->count == 0) {
    std::printf("no GSM lines configured; add one with: talvenix lines add --port N\n");
    return 0;
  }
  std::printf("%-6s %-8s %-8s %-8s %-5s %-14s %-6s %s\n", "PORT", "BAUD", "ENABLED", "RECEIVE", "SEND", "INTERNATIONAL",
              "RETRY", "NAME");
  for (uint32_t i = 0; i < list->count; ++i) {
    const TalvexLineRecord& l = *list->lines[i];
    std::printf("%-6u %-8u %-8s %-8s %-5s %-14s %-6d %s\n", l.comport, l.baudrate, YesNo(l.line_enabled),
                YesNo(l.accept_incoming), YesNo(l.accept_outgoing), YesNo(l.international_numbers), l.sms_retry,
                Text(l.line_name).c_str());
  }
  return 0;
}

int Add(Settings& settings, Arguments& a) {
  uint32_t port = TakePort(a);
  bool clean_sim = a.Flag("--clean-sim"), status_reports = a.Flag("--status-reports"), disabled = a.Flag("--disabled"),
       no_receive = a.Flag("--no-receive"), no_send = a.Flag("--no-send"),
       no_international = a.Flag("--no-international"), non_blocking = a.Flag("--non-blocking");
  const std::pair<const char*, const char*> options[] = {{"--baud", "baudrate"},       {"--name", "linename"},
                                                         {"--initstr", "initstr"},     {"--smsc", "smsc"},
                                                         {"--cnmi", "cnmiparameters"}, {"--retry", "smsretry"}};
  std::vector<std::pair<const Field*, std::string>> values;
  for (auto [option, field] : options)
    if (std::string value; a.Has(option, value)) values.emplace_back(FindField(field), value);
  a.Words(0, 0, "");
  if (!a.ok()) return a.UsageError("lines add");
  if (!settings.Open() || !settings.Lines()) return 1;
  if (settings.Find(port)) {
    std::fprintf(stderr, "lines: COM%u already has a line; change it with: talvenix lines set --port %u FIELD VALUE\n",
                 port, port);
    return 1;
  }
  TalvexLineRecord line{};
  line.comport = port;
  line.new_comport = port;
  line.baudrate = 9600;
  line.sms_retry = 3;
  line.read_mode = 1;
  line.line_enabled = 1;
  line.accept_incoming = 1;
  line.accept_outgoing = 1;
  line.international_numbers = 1;
  line.clean_sim = clean_sim;
  line.status_reports = status_reports;
  if (disabled) line.line_enabled = 0;
  if (no_receive) line.accept_incoming = 0;
  if (no_send) line.accept_outgoing = 0;
  if (no_international) line.international_numbers = 0;
  if (non_blocking) line.read_mode = 0;
  for (const auto& [field, value] : values)
    if (!SetField(line, *field, value)) return 2;
  if (!settings.module().XMLConfigMultiLine_CreateNewLine(kGsm, &line)) {
    std::fprintf(stderr, "lines: the line could not be added; see Talvenix.log\n");
    return 1;
  }
  std::printf("added the line on COM%u\n", port);
  return 0;
}

int Set(Settings& settings, Arguments& a) {
  uint32_t port = TakePort(a);
  Args args = a.Words(2, 2, "one FIELD and its VALUE, e.g. talvenix lines set --port 3 baudrate 19200");
  if (!a.ok()) {
    a.UsageError("lines set");
    PrintFieldNames();
    return 2;
  }
  const Field* field = FindField(args[0]);
  if (!field) {
    std::fprintf(stderr, "lines set: unknown field '%s'\n", args[0].c_str());
    PrintFieldNames();
    return 2;
  }
  if (!settings.Open() || !settings.Lines()) return 1;
  TalvexLineRecord* line = settings.Find(port);
  if (!line) {
    std::fprintf(stderr, "lines: no line on COM%u; see talvenix lines list\n", port);
    return 1;
  }
  line->new_comport = line->comport;
  if (!SetField(*line, *field, args[1])) return 2;
  if (field->kind == Field::kPort && line->new_comport != port && settings.Find(line->new_comport)) {
    std::fprintf(stderr, "lines: COM%u already has a line\n", line->new_comport);
    return 1;
  }
  if (!settings.module().ChangeXMLConfigurations(kGsm, line, field->mask_bit)) {
    std::fprintf(stderr, "lines: the change could not be written; see Talvenix.log\n");
    return 1;
  }
  std::printf("COM%u: %s = %s\n", port, std::string(NameOf(*field)).c_str(), args[1].c_str());
  return 0;
}

int Delete(Settings& settings, Arguments& a) {
  uint32_t port = TakePort(a);
  a.Words(0, 0, "");
  if (!a.ok()) return a.UsageError("lines delete");
  if (!settings.Open()) return 1;
  if (!settings.module().XMLConfigMultiLine_DeleteLine(kGsm, port)) {
    std::fprintf(stderr, "lines: no line on COM%u was deleted; see talvenix lines list\n", port);
    return 1;
  }
  std::printf("deleted the line on COM%u\n", port);
  return 0;
}

}  // namespace

int RunLines(Module& module, const Args& arguments) {
  Args args = arguments;
  std::string action = args.empty() ? "" : args.front();
  if (!args.empty()) args.erase(args.begin());
  if (action != "list" && action != "add" && action != "set" && action != "delete") {
    std::fprintf(stderr, "lines: say list, add, set or delete, e.g. talvenix lines list\n");
    return 2;
  }
  Arguments a(args);
  Settings settings(module);
  if (action == "list") {
    a.Words(0, 0, "");
    if (!a.ok()) return a.UsageError("lines list");
    return settings.Open() ? List(settings) : 1;
  }
  if (action == "add") return Add(settings, a);
  if (action == "set") return Set(settings, a);
  return Delete(settings, a);
}

}  // namespace talvenix::host
