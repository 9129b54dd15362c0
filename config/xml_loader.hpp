// SPDX-License-Identifier: Apache-2.0
#pragma once
// XMLLoader: the only reader and writer of the configuration document. The
// engine and the gateways describe what they want as settings tables; the
// loader finds each value through xmlparser_c, converts and stores it, or
// writes the caller's values and saves the file. Every load or update
// operation looks at the file again first, so it sees the file as it is now
// and an update that failed halfway leaves no trace; a load parses it again
// only when its bytes changed.
//
// Results are 1 for success and 0 for failure unless said otherwise; failures
// are logged through the logger given at construction. No lock: one loader
// must not be used by two threads at the same time.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/xml_parser.hpp"
#include "config/xpath.hpp"
#include "contract/configuration_interface.hpp"
#include "platform/file.hpp"

namespace talvenix {

// Longest path and category name the loader accepts.
constexpr size_t kMaxConfigPath = 259;
constexpr size_t kMaxConfigCategory = 62;

class XMLLoader : public IGSMConfigurationInterface {
 public:
  // Does not read the file. A path or category that is missing or too long
  // makes every operation fail (logged) instead of addressing a cut name.
  XMLLoader(ILogInterface* logger, const char* path, const char* category);
  ~XMLLoader() override;
  XMLLoader(const XMLLoader&) = delete;
  XMLLoader& operator=(const XMLLoader&) = delete;

  int ReloadConfiguration() override;
  int ResolveSrvNameFromID(const char16_t* transport_id, char* name, size_t size) override;
  int ResolveIDFromSrvName(const char* service_name, char* transport_id, size_t size) override;
  int LoadGlobalConfigs(ConfigTable* table) override;
  int UpdateGlobalConfigs(ConfigTable* table) override;
  int LoadServiceConfigs(const char16_t* transport_id, ConfigTable* table, int descriptions) override;
  int UpdateServiceConfigs(const char16_t* transport_id, ConfigTable* table) override;
  int LoadServiceConfigsEx(const char16_t* transport_id, const char16_t* key_id,
                           std::vector<LinePropertyItem>* list) override;
  int UpdateServiceConfigsEx(const char16_t* transport_id, int line_number, const char16_t* key_id,
                             std::vector<LinePropertyItem>* list) override;
  int CreateNewLine(const char16_t* transport_id, const LineTemplate* line) override;
  int DeleteLine(const char16_t* transport_id, int line_number) override;

  // How long a change waits while another loader, in this process or
  // another, changes the same file; then it fails instead of overwriting.
  static constexpr std::chrono::milliseconds kDefaultEditWait{10000};
  void SetEditWait(std::chrono::milliseconds wait) { edit_wait_ = wait; }
  ILogInterface* GetLogger() override { return logger_; }
  std::string GetDocumentPath() override { return path_; }
  int findinitproperty(const char* service_name) override;
  int findnextproperty(char* name, size_t name_size, char16_t* value, size_t value_size, char* id,
                       size_t id_size) override;

 private:
  // Reads the file again: for reading, or keeping its layout for a save.
  int Reload(XmlLoadMode mode);
  // Every load-change-save holds the document's lock file from before the
  // load until after the save, so two writers never lose each other's
  // changes. False, logged under `operation`, when the wait ran out.
  bool LockForEditing(platform::FileLock& lock, const char* operation);

  // Path building.
  bool constructserviceroot(const char* service, XPath& path);
  // The selection of one global option by name.
  bool constructoptionpath(const char* option, XPath& path);

  // Attribute readers and writers. Values are UTF-16; a `limit` below 2 is an
  // invalid parameter, as a destination with no room for a character.
  int getglobaloption(const char* option, std::u16string& value, const char* attribute = "value");
  int setglobaloption(const char* option, const char* value, const char* attribute = "value");
  int getservicespecial(const char* service, const char* attribute, std::string& value);
  // The same without a log line: for attributes that may well be absent.
  bool ReadServiceAttribute(const char* service, const char* attribute, std::string& value);
  int ispropertyoptionsetfromid(const char* service, const char* property, const char* flag, bool& result);
  int getpropertyvaluefromid(const char* service, const char* property, std::u16string& value, size_t limit,
                             bool* enciphered);
  int setpropertyvalue(const char* service, const char* property, const char16_t* value);
  int getpropertydescription(const char* service, const char* property, std::u16string& text, size_t limit);
  int gettemplatedata(const char* template_name, const char* field, std::u16string& text, size_t limit);

  // The name of the first service whose transport equals transport_id
  // (ignoring case), from the document as loaded. Logs as ResolveSrvNameFromID.
  bool FindServiceName(const char16_t* transport_id, std::string& name);
  // Reload, then FindServiceName.
  bool ReloadAndFindServiceName(const char16_t* transport_id, std::string& name);

  // Selects `relative` from the first service named `service` into `into`
  // (parser_ unless said otherwise). The service element is looked up once
  // per document and kept, so each property need not be found from the root.
  bool SelectInService(const char* service, const XPath& relative);
  bool SelectInService(const char* service, const XPath& relative, xmlparser_c& into);
  // The first service named `service`, or an empty node when there is none;
  // valid until the next reload.
  pugi::xml_node ServiceElement(const char* service);
  // Makes service_cursor_ stand on the first service named `service`
  // (on no node when there is none); false only when no path can be built.
  bool FindServiceCursor(const char* service);

  // On the first node of the current selection of parser_: reads (value) or
  // writes (new_value) the attribute named `attribute` (ignoring case).
  // 1 found, 0 no such attribute, -1 no node.
  int ReadAttribute(std::string_view attribute, std::u16string* value);
  int WriteAttribute(std::string_view attribute, const char16_t* new_value);
  // The same read on `element`; -1 when it is empty.
  int ReadAttribute(pugi::xml_node element, std::string_view attribute, std::u16string* value);

  // The properties of every line of a service, in document order, with
  // whether each starts a line (its id holds the key). Kept with the
  // document they were read from and given again while the loader still
  // reads that same document, unchanged. The texts are the document's own.
  struct LineListing {
    struct Property {
      std::string_view id;
      std::string_view value;
      bool starts_line;
    };
    std::weak_ptr<const XmlFileDocument> document;
    std::string service;
    std::optional<std::string> key;  // none: no property starts a line
    std::vector<Property> properties;
  };
  // Of the document as last loaded; valid until the next call.
  const LineListing& ListLineProperties(const std::string& service, const char16_t* key_id);

  std::string category_;  // empty when the one given was missing or too long
  std::string path_;
  xmlparser_c parser_;
  ILogInterface* logger_;
  std::unique_ptr<xmlparser_c> service_cursor_;  // on the service named service_name_; reset by every reload
  std::string service_name_;
  std::chrono::milliseconds edit_wait_ = kDefaultEditWait;
  LineListing line_listing_;
};

}  // namespace talvenix
