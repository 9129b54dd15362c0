// SPDX-License-Identifier: Apache-2.0
// Arbitrary bytes as qvsmscomms.xml, through the loader's load operations and
// the writes that follow them. Besides crashes and sanitizer reports, it stops
// when a document the loader saved cannot be read again, or when a load for
// reading (quick checks) and one for editing (the full scan) disagree.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/xml_file.hpp"
#include "config/xml_loader.hpp"
#include "contract/service.hpp"
#include "engine/generic_options.hpp"
#include "formatting_logger.hpp"

using namespace talvenix;

namespace {

const std::string& FilePath() {
  static const std::string path = [] {
    const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(folder) + "/talvenix-fuzz-" + std::to_string(getpid()) + ".xml";
  }();
  return path;
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "config_fuzz: %s\n", what);
  std::abort();
}

void LoadServiceTables(XMLLoader& loader) {
  char16_t user[1000], password[1000], apiid[8], description[2000], body[5000];
  char signup[1000];
  int32_t number = 0, three = 3;
  ConfigTable table;
  table.emplace_back(kConfigLoad, u"[user]", kValueWide, user, 1000);
  table.emplace_back(kConfigLoad, u"[password]", kValueWide, password, 1000, nullptr, 1);
  table.emplace_back(kConfigLoad, u"[apiid]", kValueWide, apiid, 8, u"", 1);
  table.emplace_back(kConfigLoad, u"[port]", kValueInteger, &number, 4, &three, 1);
  table.emplace_back(kConfigLoad, u"signupurl", kValueNarrow, signup, 1000, "", 1, kSourceServiceAttribute);
  table.emplace_back(kConfigLoad, u"body", kValueWide, body, 5000, nullptr, 1, kSourceTemplateField, u"default");
  for (const char16_t* transport : {u"clickatellapi", u"gensmtp", u"multitechisms"}) {
    loader.LoadServiceConfigs(transport, &table, 0);
    ConfigTable descriptions;
    descriptions.emplace_back(kConfigLoad, u"[user]", kValueWide, description, 2000, nullptr, 1);
    loader.LoadServiceConfigs(transport, &descriptions, 1);
  }
}

void WalkLines(XMLLoader& loader) {
  int count = loader.LoadServiceConfigsEx(u"simple_gsm", u"[comport]", nullptr);
  if (count <= 0 || count > 100000) return;
  std::vector<LinePropertyItem> rows(static_cast<size_t>(count));
  int lines = loader.LoadServiceConfigsEx(u"simple_gsm", u"[comport]", &rows);
  if (lines <= 0) return;
  std::vector<LinePropertyItem> change(1);
  change[0].item.id = u"[linename]";
  change[0].value = u"fuzz \"&<>";
  loader.UpdateServiceConfigsEx(u"simple_gsm", rows[0].line_number, u"[comport]", &change);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = FilePath();
  if (!WriteFile(path, data, size)) return 0;
  XmlFileError reading, editing;
  bool read = LoadXmlFile(path.c_str(), reading, XmlLoadMode::kForReading) != nullptr;
  bool edited = LoadXmlFile(path.c_str(), editing, XmlLoadMode::kForEditing) != nullptr;
  Check(read == edited && reading.code == editing.code, "loads for reading and for editing disagree");

  FormattingLogger log;
  XMLLoader loader(&log, path.c_str(), "sms");

  TalvexGenericOptions options{};
  bool loaded = LoadGenericXMLConfigs(&options, &loader) != 0;
  char name[64], id[64];
  char16_t value[64];
  loader.ResolveSrvNameFromID(u"nuldrv", name, sizeof name);
  loader.ResolveIDFromSrvName(options.selectedservice, id, sizeof id);
  if (loader.findinitproperty(options.selectedservice))
    while (loader.findnextproperty(name, sizeof name, value, 64, id, sizeof id)) {
    }
  LoadServiceTables(loader);
  WalkLines(loader);

  // Writes: whatever the loader saves must read back.
  if (loaded) {
    options.maxsmssplit = 7;
    if (UpdateGenericXMLConfigs(&loader, &options, TALVEX_OPT_MAXSMSSPLIT | TALVEX_OPT_INFOTYPE))
      Check(loader.ReloadConfiguration() == 1, "a saved document does not load");
  }
  LineTemplate line = {{u"COM Port", u"[comport]", u"9"}, {u"Line Name", u"[linename]", u"new"}};
  if (loader.CreateNewLine(u"simple_gsm", &line)) {
    Check(loader.ReloadConfiguration() == 1, "a document with a new line does not load");
    Check(loader.DeleteLine(u"simple_gsm", 9) == 1, "the new line cannot be deleted");
    Check(loader.ReloadConfiguration() == 1, "a document with a line deleted does not load");
  }
  unlink(path.c_str());
  return 0;
}
