// SPDX-License-Identifier: Apache-2.0
// XMLLoader: construction, path building, the attribute readers and writers,
// name translation and the property enumeration.

#include "config/xml_loader.hpp"

#include <cstring>

#include "config/ascii_case.hpp"
#include "config/xml_loader_rules.hpp"
#include "support/text_codec.hpp"
#include "support/value_cipher.hpp"

namespace talvenix {

namespace {

bool Given(const char* text) { return text && *text; }

// Stands in when no logger is given, so that no line needs a null check.
class SilentLogger : public ILogInterface {
 public:
  uintptr_t GetHandle() override { return 0; }
  uintptr_t Attach(uintptr_t handle) override { return handle; }
  void Open(const char*, const char*, int) override {}
  void Close() override {}
  bool Records(Severity) override { return false; }
  void Write(Severity, const char*, va_list) override {}
  void WriteW(Severity, const char16_t*, va_list) override {}
};

ILogInterface* OrSilent(ILogInterface* logger) {
  static SilentLogger silent;
  return logger ? logger : &silent;
}

}  // namespace

XMLLoader::XMLLoader(ILogInterface* logger, const char* path, const char* category)
    : parser_(OrSilent(logger)), logger_(OrSilent(logger)) {
  // A cut path or category would silently address another file or element.
  if (path && std::strlen(path) <= kMaxConfigPath) path_ = path;
  if (category && std::strlen(category) <= kMaxConfigCategory) category_ = category;
}

XMLLoader::~XMLLoader() = default;

int XMLLoader::ReloadConfiguration() { return Reload(XmlLoadMode::kForReading); }

int XMLLoader::Reload(XmlLoadMode mode) {
  service_cursor_.reset();  // it stands in the document being replaced
  if (path_.empty() || category_.empty()) {
    logger_->Error(
        "XMLLoader::ReloadConfiguration - missing or too long path or category (at most %d and %d characters).",
        static_cast<int>(kMaxConfigPath), static_cast<int>(kMaxConfigCategory));
    return 0;
  }
  return parser_.loadconfiguration(path_.c_str(), mode);
}

bool XMLLoader::LockForEditing(platform::FileLock& lock, const char* operation) {
  if (path_.empty()) return true;  // Reload reports it
  platform::Error error = lock.Acquire(platform::LockPathFor(path_), edit_wait_);
  if (!error) return true;
  if (error.kind() == platform::ErrorKind::kTimedOut)
    logger_->Error("XMLLoader::%s - %s is being changed by another program; gave up after %d ms.", operation,
                   path_.c_str(), static_cast<int>(edit_wait_.count()));
  else
    logger_->Error("XMLLoader::%s - cannot lock %s for a change: %s", operation, path_.c_str(), error.Describe());
  return false;
}

// ---- Path building ----------------------------------------------------------

bool XMLLoader::constructserviceroot(const char* service, XPath& path) {
  if (category_.empty()) {
    logger_->Error("constructserviceroot _ Invalid parameter for service type.");
    return false;
  }
  path = service ? ServicePath(category_, service) : ServicesPath(category_);
  return true;
}

// ---- Attribute readers and writers --------------------------------------------

bool XMLLoader::SelectInService(const char* service, const XPath& relative) {
  return SelectInService(service, relative, parser_);
}

bool XMLLoader::SelectInService(const char* service, const XPath& relative, xmlparser_c& into) {
  if (!service || !FindServiceCursor(service)) return false;
  return into.findinititemunder(*service_cursor_, relative);
}

pugi::xml_node XMLLoader::ServiceElement(const char* service) {
  if (!service || !FindServiceCursor(service)) return {};
  return service_cursor_->currentelement();
}

bool XMLLoader::FindServiceCursor(const char* service) {
  if (service_cursor_ && service_name_ == service) return true;
  service_cursor_.reset();
  XPath path;
  if (!constructserviceroot(service, path)) return false;
  auto cursor = std::make_unique<xmlparser_c>(parser_);
  // A missing service leaves the cursor on no node: every selection under it is empty.
  SelectFirst(*cursor, path);
  service_cursor_ = std::move(cursor);
  service_name_ = service;
  return true;
}

int XMLLoader::ReadAttribute(std::string_view attribute, std::u16string* value) {
  if (!parser_.findnextitem()) return -1;
  return ReadAttribute(parser_.currentelement(), attribute, value) == 1 ? 1 : 0;
}

int XMLLoader::ReadAttribute(pugi::xml_node element, std::string_view attribute, std::u16string* value) {
  if (!element) return -1;
  pugi::xml_attribute found = AttributeIgnoringCase(element, attribute);
  if (!found) return 0;
  if (value) *value = Utf8ToUtf16(found.value());
  return 1;
}

int XMLLoader::WriteAttribute(std::string_view attribute, const char16_t* new_value) {
  if (!parser_.findnextitem()) return -1;
  const char* name;
  while (parser_.findnextattribute(&name, nullptr))
    if (EqualsIgnoringCase(name, attribute)) return parser_.setcurrentattributevalue(new_value);
  return 0;
}

bool XMLLoader::constructoptionpath(const char* option, XPath& path) {
  if (category_.empty()) {
    logger_->Error("constructconfigroot _ Invalid parameter for service type.");
    return false;
  }
  path = OptionPath(category_, option);
  return true;
}

int XMLLoader::getglobaloption(const char* option, std::u16string& value, const char* attribute) {
  if (!Given(option) || !Given(attribute)) {
    logger_->Error(" XMLLoader::getglobaloption _ Invalid parameter(s).");
    return 0;
  }
  XPath path;
  if (!constructoptionpath(option, path)) return 0;
  int found = ReadAttribute(SelectFirst(parser_, path), attribute, &value);
  if (found == 0) logger_->Warn(" XMLLoader::getglobaloption _ Option not found.");
  return found == 1;
}

int XMLLoader::setglobaloption(const char* option, const char* value, const char* attribute) {
  if (!Given(option) || !value || !Given(attribute)) {
    logger_->Error(" XMLLoader::setglobaloption _ Invalid parameter(s).");
    return 0;
  }
  XPath path;
  if (!constructoptionpath(option, path)) return 0;
  int written = parser_.findinititem(path) ? WriteAttribute(attribute, Utf8ToUtf16(value).c_str()) : -1;
  if (written != 1) logger_->Warn(" XMLLoader::setglobaloption _ Option not found.");
  return written == 1;
}

int XMLLoader::getservicespecial(const char* service, const char* attribute, std::string& value) {
  if (!service || !Given(attribute)) {
    logger_->Error(" XMLLoader::getservicespecial _ Invalid parameter(s).");
    return 0;
  }
  if (!ReadServiceAttribute(service, attribute, value)) {
    logger_->Warn(" XMLLoader::getservicespecial _ Special attribute not found for service '%s'.", service);
    return 0;
  }
  return 1;
}

bool XMLLoader::ReadServiceAttribute(const char* service, const char* attribute, std::string& value) {
  std::u16string text;
  if (ReadAttribute(ServiceElement(service), attribute, &text) != 1) return false;
  value = Utf16ToUtf8(text);
  return true;
}

int XMLLoader::ispropertyoptionsetfromid(const char* service, const char* property, const char* flag, bool& result) {
  result = false;
  if (!service || !property || !Given(flag)) {
    logger_->Error(" XMLLoader::ispropertyoptionsetfromid _ Invalid parameter(s).");
    return 0;
  }
  XPath root;
  if (!constructserviceroot(service, root)) return 0;
  XPath path("properties/property[@id=");
  path.Bind("property", property);
  path += "][@*[name()=";
  path.Bind("flag", flag);
  path += "]=\"yes\"]";
  result = SelectInService(service, path);
  return 1;
}

int XMLLoader::getpropertyvaluefromid(const char* service, const char* property, std::u16string& value, size_t limit,
                                      bool* enciphered) {
  if (!service || !property || limit < 2) {
    logger_->Error(" XMLLoader::getpropertyvaluefromid _ Invalid parameter(s).");
    return 0;
  }
  XPath path("properties/property[@id=");
  path.Bind("property", property);
  path += "]";
  // One selection answers both questions: the value is the first `value`
  // attribute, and the flag is set when any of the elements carries
  // encrypt="yes" exactly, as the flag test of ispropertyoptionsetfromid.
  bool flagged = false, found = false;
  const char* stored = nullptr;
  if (SelectInService(service, path)) {
    const char *name, *text;
    while (parser_.findnextitem()) {
      while (parser_.findnextattribute(&name, &text)) {
        if (std::strcmp(name, "encrypt") == 0) {
          flagged = flagged || std::strcmp(text, "yes") == 0;
        } else if (!found && EqualsIgnoringCase(name, "value")) {
          found = true;
          stored = text;
        }
      }
    }
  }
  if (enciphered) *enciphered = flagged;
  if (!found) {
    logger_->WarnW(u"XMLLoader::getpropertyvaluefromid _ Value not found for property id '%s'",
                   Utf8ToUtf16(property).c_str());
    return 0;
  }
  if (!flagged) {
    value = Utf8ToUtf16(stored);
    return 1;
  }
  std::string plain;
  if (!DecipherValue(stored, plain)) {
    // Whoever typed it into the file meant it: one plain value does not
    // stop the gateway. The value itself is never logged.
    logger_->WarnW(
        u"XMLLoader::getpropertyvaluefromid _ Value of property id '%s' is not enciphered text; it is used as it "
        u"stands: set it through the settings to store it enciphered.",
        Utf8ToUtf16(property).c_str());
    plain = stored;
  }
  value = Utf8ToUtf16(plain);
  return 1;
}

int XMLLoader::setpropertyvalue(const char* service, const char* property, const char16_t* value) {
  if (!service || !property || !value) {
    logger_->Error(" XMLLoader::setpropertyvalue _ Invalid parameter(s).");
    return 0;
  }
  bool flagged = false;
  ispropertyoptionsetfromid(service, property, "encrypt", flagged);
  std::u16string stored = flagged ? Utf8ToUtf16(EncipherValue(Utf16ToUtf8(value))) : std::u16string(value);

  XPath path("properties/property[@id=");
  path.Bind("property", property);
  path += "]";
  if (SelectInService(service, path)) {
    const char* name;
    while (parser_.findnextitem())
      while (parser_.findnextattribute(&name, nullptr))
        if (EqualsIgnoringCase(name, "value")) return parser_.setcurrentattributevalue(stored.c_str());
  }
  logger_->Warn("XMLLoader::setpropertyvaluefromID _ Value not found for property ID '%s'", property);
  return 0;
}

int XMLLoader::getpropertydescription(const char* service, const char* property, std::u16string& text, size_t limit) {
  if (!service || !property || limit < 2) {
    logger_->Error(" XMLLoader::getpropertydescription _ Invalid parameter(s).");
    return 0;
  }
  XPath path("properties/property[@id=");
  path.Bind("property", property);
  path += "]/description";
  // The English text is preferred; the description's own text stands in for it.
  XPath english = path;
  english += "/eng";
  for (const XPath* candidate : {&english, &path})
    if (SelectInService(service, *candidate) && parser_.findnextitem() && parser_.getcurrentitemtext(&text)) return 1;
  return 0;
}

int XMLLoader::gettemplatedata(const char* template_name, const char* field, std::u16string& text, size_t limit) {
  if (!template_name || !Given(field) || limit < 2) {
    logger_->Error(" XMLLoader::gettemplatedata _ Invalid parameter(s).");
    return 0;
  }
  // Templates belong to no category.
  XPath path("/vantrelcomms/templates/template[@name=");
  path.Bind("template", template_name);
  path += "]/*[name()=";
  path.Bind("field", field);
  path += "]";
  if (!parser_.findinititem(path)) {
    logger_->Error(" XMLLoader::gettemplatedata _ findinititem failed.");
    return 0;
  }
  if (!parser_.findnextitem()) {
    logger_->Error(" XMLLoader::gettemplatedata _ findnextitem failed.");
    return 0;
  }
  if (!parser_.getcurrentitemtext(&text)) {
    logger_->Error(" XMLLoader::gettemplatedata _ getcurrentitemtext failed.");
    return 0;
  }
  return 1;
}

// ---- Name and identifier translation ------------------------------------------

bool XMLLoader::FindServiceName(const char16_t* transport_id, std::string& name) {
  XPath path;
  if (!constructserviceroot(nullptr, path)) {
    logger_->Error("XMLLoader::ResolveSrvNameFromID _ ConstructServiceRoot, Failed.");
    return false;
  }
  if (!parser_.findinititem(path)) {
    logger_->Error("XMLLoader::ResolveSrvNameFromID  _ No service(s) found.");
    return false;
  }
  std::u16string_view wanted(transport_id);
  std::string wanted_utf8 = Utf16ToUtf8(wanted);
  const char *attribute, *value;
  while (parser_.findnextitem()) {
    // Both attributes are looked at, whichever comes first in the element.
    bool has_name = false, matches = false;
    const char* service_name = nullptr;
    while (parser_.findnextattribute(&attribute, &value)) {
      if (!has_name && EqualsIgnoringCase(attribute, "name")) {
        has_name = true;
        service_name = value;
      } else if (!matches && EqualsIgnoringCase(attribute, "transport")) {
        matches = EqualsIgnoringCase(value, wanted_utf8);
      }
    }
    if (matches && has_name) {
      name.assign(service_name);
      return true;
    }
  }
  logger_->Warn("XMLLoader::ResolveSrvNameFromID - No service with transport ID '%s' was found", wanted_utf8.c_str());
  return false;
}

bool XMLLoader::ReloadAndFindServiceName(const char16_t* transport_id, std::string& name) {
  if (!ReloadConfiguration()) {
    logger_->Error("XMLLoader::ResolveSrvNameFromID _ Failed To Load\\Reload Configurations.");
    return false;
  }
  return FindServiceName(transport_id, name);
}

int XMLLoader::ResolveSrvNameFromID(const char16_t* transport_id, char* name, size_t size) {
  if (!transport_id || !name || size < 2 || size > kMaxBufferSize) {
    logger_->Error("XMLLoader::ResolveSrvNameFromID _ Invalid parameter(s).");
    return 0;
  }
  std::string found;
  if (!ReloadAndFindServiceName(transport_id, found)) return 0;
  return CopyBounded(name, size, found) ? 1 : 0;
}

int XMLLoader::ResolveIDFromSrvName(const char* service_name, char* transport_id, size_t size) {
  if (!service_name || !transport_id || size < 2 || size > kMaxBufferSize) {
    logger_->Error("XMLLoader::ResolveIDFromSrvName - Invalid parameter(s).");
    return 0;
  }
  if (!ReloadConfiguration()) return 0;
  std::string value;
  if (!getservicespecial(service_name, "transport", value)) {
    logger_->Error("XMLLoader::ResolveIDFromSrvName - Failed to load transport value.");
    return 0;
  }
  return CopyBounded(transport_id, size, value) ? 1 : 0;
}

// ---- Property enumeration -------------------------------------------------------

int XMLLoader::findinitproperty(const char* service_name) {
  if (!service_name) {
    logger_->Error(" XMLLoader::findinitproperty _ Invalid parameter(s).");
    return 0;
  }
  if (!SelectInService(service_name, XPath("properties/property"))) {
    logger_->Warn(" XMLLoader::findinitproperty _ No properties found.");
    return 0;
  }
  return 1;
}

int XMLLoader::findnextproperty(char* name, size_t name_size, char16_t* value, size_t value_size, char* id,
                                size_t id_size) {
  if (!name || name_size < 2 || name_size > kMaxBufferSize) {
    logger_->Error(" XMLLoader::findnextproperty _ Invalid parameter(s).");
    return 0;
  }
  if (!parser_.findnextitem()) return 0;
  bool has_name = false;
  const char *attribute, *text;
  while (parser_.findnextattribute(&attribute, &text)) {
    if (EqualsIgnoringCase(attribute, "id")) {
      if (id) CopyBounded(id, id_size, text);
    } else if (EqualsIgnoringCase(attribute, "value")) {
      if (value) CopyBounded(value, value_size, Utf8ToUtf16(text));
    } else if (EqualsIgnoringCase(attribute, "name")) {
      has_name = CopyBounded(name, name_size, text);
    }
  }
  if (!has_name) logger_->Warn(" XMLLoader::findnextproperty _ Property name not found.");
  return has_name ? 1 : 0;
}

}  // namespace talvenix
