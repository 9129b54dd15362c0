// SPDX-License-Identifier: Apache-2.0
#pragma once
// An in-memory configuration store holding only GSM modem lines, with the
// loader's documented line semantics: properties are numbered by the key
// property that starts each line, updates find a line by its key value, and
// deletion compares the first property. Used where a test needs exact control
// of the stored lines; the end-to-end tests use the real document.

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "contract/configuration_interface.hpp"
#include "support/text_codec.hpp"

namespace talvenix::testing {

class LineStoreFake : public IGSMConfigurationInterface {
 public:
  using Line = std::vector<std::pair<std::u16string, std::u16string>>;  // (id, value) in order

  std::vector<Line> lines;
  int update_calls = 0;
  int update_result = 1;  // what UpdateServiceConfigsEx answers when it finds the line
  bool out_of_memory = false;  // filling rows and writing lines throw std::bad_alloc, as allocations may
  std::vector<std::pair<int, std::vector<std::pair<std::u16string, std::u16string>>>> updates;

  // A line with the usual properties; `extra` overrides or adds.
  static Line MakeLine(int port, int baud, const std::u16string& name, Line extra = {}) {
    Line line = {{u"[comport]", Decimal(port)},   {u"[baudrate]", Decimal(baud)}, {u"[linename]", name},
                 {u"[initstr]", u"ATZ"},          {u"[smsc]", u"+4479"},          {u"[recenabled]", u"1"},
                 {u"[sendenabled]", u"1"},        {u"[cleansimenabled]", u"0"},   {u"[srenabled]", u"0"},
                 {u"[lineenabled]", u"1"},        {u"[smsretry]", u"3"},          {u"[inumberenabled]", u"1"},
                 {u"[readiomode]", u"BLOCKING"}, {u"[cnmiparameters]", u""}};
    for (auto& [id, value] : extra) Set(line, id, value);
    return line;
  }
  static void Set(Line& line, const std::u16string& id, const std::u16string& value) {
    for (auto& property : line)
      if (property.first == id) {
        property.second = value;
        return;
      }
    line.emplace_back(id, value);
  }
  static std::u16string Decimal(long long n) { return Utf8ToUtf16(std::to_string(n)); }
  // The value of `id` in the line whose key is `port`; empty when absent.
  std::u16string Value(int port, const std::u16string& id) const {
    for (const Line& line : lines)
      if (!line.empty() && line[0].second == Decimal(port))
        for (const auto& property : line)
          if (property.first == id) return property.second;
    return {};
  }

  int ReloadConfiguration() override { return 1; }
  int ResolveSrvNameFromID(const char16_t*, char*, size_t) override { return 0; }
  int ResolveIDFromSrvName(const char*, char*, size_t) override { return 0; }
  int LoadGlobalConfigs(ConfigTable*) override { return 0; }
  int UpdateGlobalConfigs(ConfigTable*) override { return 0; }
  int LoadServiceConfigs(const char16_t*, ConfigTable*, int) override { return 0; }
  int UpdateServiceConfigs(const char16_t*, ConfigTable*) override { return 0; }

  int LoadServiceConfigsEx(const char16_t*, const char16_t* key_id, std::vector<LinePropertyItem>* list) override {
    if (lines.empty()) return 0;
    int count = 0, line_counter = 0;
    std::u16string key;
    for (const Line& line : lines)
      for (const auto& [id, value] : line) {
        if (list) {
          if (out_of_memory) throw std::bad_alloc();
          if (id.find(key_id) != std::u16string::npos) {
            ++line_counter;
            key = value;
          }
          if (static_cast<size_t>(count) < list->size()) {
            LinePropertyItem& row = (*list)[count];
            row.item.id = id;
            row.value = value;
            row.line_key = key;
            row.line_number = line_counter;
          }
        }
        ++count;
      }
    return list ? line_counter : count;
  }

  int UpdateServiceConfigsEx(const char16_t*, int line_number, const char16_t*,
                             std::vector<LinePropertyItem>* list) override {
    ++update_calls;
    if (out_of_memory) throw std::bad_alloc();
    if (!list) return 0;
    for (Line& line : lines) {
      if (line.empty() || line[0].second != Decimal(line_number)) continue;
      std::vector<std::pair<std::u16string, std::u16string>> written;
      for (const LinePropertyItem& row : *list) {
        written.emplace_back(row.item.id, row.value);
        if (update_result) Set(line, row.item.id, row.value);
      }
      updates.emplace_back(line_number, written);
      return update_result;
    }
    return 0;
  }

  int CreateNewLine(const char16_t*, const LineTemplate* fields) override {
    if (!fields) return 0;
    if (out_of_memory) throw std::bad_alloc();
    Line line;
    for (const LineTemplateField& f : *fields) line.emplace_back(f.id, f.value);
    lines.push_back(line);
    created.push_back(*fields);
    return 1;
  }
  std::vector<LineTemplate> created;

  int DeleteLine(const char16_t*, int line_number) override {
    for (auto it = lines.begin(); it != lines.end(); ++it)
      if (!it->empty() && it->front().second == Decimal(line_number)) {
        lines.erase(it);
        return 1;
      }
    return 0;
  }

  ILogInterface* GetLogger() override { return nullptr; }
  int findinitproperty(const char*) override { return 0; }
  int findnextproperty(char*, size_t, char16_t*, size_t, char*, size_t) override { return 0; }
};

}  // namespace talvenix::testing
