// XMLLoader: construction, path building, the attribute readers and writers,
// name translation and the property enumeration.

#include "config/xml_loader.hpp"

#include <cstring>

#include "config/ascii_case.hpp"
#include "config/text_copy.hpp"
#include "config/value_cipher.hpp"
#include "support/text_codec.hpp"

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

int XMLLoader::ReloadConfiguration() {
  if (path_.empty() || category_.empty()) {
    logger_->Error("XMLLoader::ReloadConfiguration - missing or too long path or category (at most %d and %d characters).",
                   static_cast<int>(kMaxConfigPath), static_cast<int>(kMaxConfigCategory));
    return 0;
  }
  return parser_.loadconfiguration(path_.c_str());
}

// ---- Path building ----------------------------------------------------------

bool XMLLoader::constructserviceroot(const char* service, XPath& path) {
  if (category_.empty()) {
    logger_->Error("constructserviceroot _ Invalid parameter for service type.");
    return false;
  }
  path = XPath("/vantrelcomms/*[name()=");
  path.Bind("category", category_);
  path += "]/services/service";
  if (service) {
    path += "[@name=";
    path.Bind("service", service);
    path += "]";
  }
  return true;
}

bool XMLLoader::constructconfigroot(XPath& path) {
  if (category_.empty()) {
    logger_->Error("constructconfigroot _ Invalid parameter for service type.");
    return false;
  }
  path = XPath("/vantrelcomms/*[name()=");
  path.Bind("category", category_);
  path += "]/config";
  return true;
}

// ---- Attribute readers and writers --------------------------------------------

int XMLLoader::ReadAttribute(const XPath& path, std::string_view attribute, std::u16string* value) {
  if (!parser_.findinititem(path) || !parser_.findnextitem()) return -1;
  std::string name;
  std::u16string text;
  while (parser_.findnextattribute(&name, value ? &text : nullptr)) {
    if (!EqualsIgnoringCase(name, attribute)) continue;
    if (value) *value = std::move(text);
    return 1;
  }
  return 0;
}

int XMLLoader::WriteAttribute(const XPath& path, std::string_view attribute, const char16_t* new_value) {
  if (!parser_.findinititem(path) || !parser_.findnextitem()) return -1;
  std::string name;
  while (parser_.findnextattribute(&name, nullptr))
    if (EqualsIgnoringCase(name, attribute)) return parser_.setcurrentattributevalue(new_value);
  return 0;
}

int XMLLoader::getglobaloption(const char* option, std::u16string& value, const char* attribute) {
  if (!Given(option) || !Given(attribute)) {
    logger_->Error(" XMLLoader::getglobaloption _ Invalid parameter(s).");
    return 0;
  }
  XPath path;
  if (!constructconfigroot(path)) return 0;
  path += "/option[@name=";
  path.Bind("option", option);
  path += "]";
  int found = ReadAttribute(path, attribute, &value);
  if (found == 0) logger_->Warn(" XMLLoader::getglobaloption _ Option not found.");
  return found == 1;
}

int XMLLoader::setglobaloption(const char* option, const char* value, const char* attribute) {
  if (!Given(option) || !value || !Given(attribute)) {
    logger_->Error(" XMLLoader::setglobaloption _ Invalid parameter(s).");
    return 0;
  }
  XPath path;
  if (!constructconfigroot(path)) return 0;
  path += "/option[@name=";
  path.Bind("option", option);
  path += "]";
  int written = WriteAttribute(path, attribute, Utf8ToUtf16(value).c_str());
  if (written != 1) logger_->Warn(" XMLLoader::setglobaloption _ Option not found.");
  return written == 1;
}

int XMLLoader::getservicespecial(const char* service, const char* attribute, std::string& value) {
  if (!service || !Given(attribute)) {
    logger_->Error(" XMLLoader::getservicespecial _ Invalid parameter(s).");
    return 0;
  }
  XPath path;
  if (!constructserviceroot(service, path)) return 0;
  std::u16string text;
  if (ReadAttribute(path, attribute, &text) != 1) {
    logger_->Warn(" XMLLoader::getservicespecial _ Special attribute not found for service '%s'.", service);
    return 0;
  }
  value = Utf16ToUtf8(text);
  return 1;
}

int XMLLoader::ispropertyoptionsetfromid(const char* service, const char* property, const char* flag, bool& result) {
  result = false;
  if (!service || !property || !Given(flag)) {
    logger_->Error(" XMLLoader::ispropertyoptionsetfromid _ Invalid parameter(s).");
    return 0;
  }
  XPath path;
  if (!constructserviceroot(service, path)) return 0;
  path += "/properties/property[@id=";
  path.Bind("property", property);
  path += "][@*[name()=";
  path.Bind("flag", flag);
  path += "]=\"yes\"]";
  result = parser_.findinititem(path);
  return 1;
}

int XMLLoader::getpropertyvaluefromid(const char* service, const char* property, std::u16string& value, size_t limit,
                                      bool* enciphered) {
  if (!service || !property || limit < 2) {
    logger_->Error(" XMLLoader::getpropertyvaluefromid _ Invalid parameter(s).");
    return 0;
  }
  bool flagged = false;
  ispropertyoptionsetfromid(service, property, "encrypt", flagged);
  if (enciphered) *enciphered = flagged;

  XPath path;
  if (!constructserviceroot(service, path)) return 0;
  path += "/properties/property[@id=";
  path.Bind("property", property);
  path += "]";
  std::u16string wide_id = Utf8ToUtf16(property);
  if (parser_.findinititem(path)) {
    std::string name;
    std::u16string text;
    while (parser_.findnextitem()) {
      while (parser_.findnextattribute(&name, &text)) {
        if (!EqualsIgnoringCase(name, "value")) continue;
        if (!flagged) {
          value = std::move(text);
          return 1;
        }
        std::string plain;
        if (!DecipherValue(Utf16ToUtf8(text), plain)) {
          logger_->WarnW(u"XMLLoader::getpropertyvaluefromid _ Value of property id '%s' is not enciphered text; "
                         u"set it through the settings or remove encrypt=\"yes\".",
                         wide_id.c_str());
          return 0;
        }
        value = Utf8ToUtf16(plain);
        return 1;
      }
    }
  }
  logger_->WarnW(u"XMLLoader::getpropertyvaluefromid _ Value not found for property id '%s'", wide_id.c_str());
  return 0;
}

int XMLLoader::setpropertyvalue(const char* service, const char* property, const char16_t* value) {
  if (!service || !property || !value) {
    logger_->Error(" XMLLoader::setpropertyvalue _ Invalid parameter(s).");
    return 0;
  }
  bool flagged = false;
  ispropertyoptionsetfromid(service, property, "encrypt", flagged);
  std::u16string stored = flagged ? Utf8ToUtf16(EncipherValue(Utf16ToUtf8(value))) : std::u16string(value);

  XPath path;
  if (!constructserviceroot(service, path)) return 0;
  path += "/properties/property[@id=";
  path.Bind("property", property);
  path += "]";
  if (parser_.findinititem(path)) {
    std::string name;
    while (parser_.findnextitem())
      while (parser_.findnextattribute(&name, nullptr))
        if (EqualsIgnoringCase(name, "value")) return parser_.setcurrentattributevalue(stored.c_str());
  }
  logger_->Warn("XMLLoader::setpropertyvaluefromID _ Value not found for property ID '%s'", property);
  return 0;
}

int XMLLoader::getpropertydescription(const char* service, const char* property, std::u16string& text,
                                      size_t limit) {
  if (!service || !property || limit < 2) {
    logger_->Error(" XMLLoader::getpropertydescription _ Invalid parameter(s).");
    return 0;
  }
  XPath path;
  if (!constructserviceroot(service, path)) return 0;
  path += "/properties/property[@id=";
  path.Bind("property", property);
  path += "]/description";
  // The English text is preferred; the description's own text stands in for it.
  XPath english = path;
  english += "/eng";
  for (const XPath* candidate : {&english, &path})
    if (parser_.findinititem(*candidate) && parser_.findnextitem() && parser_.getcurrentitemtext(&text)) return 1;
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
  std::string attribute;
  std::u16string value;
  while (parser_.findnextitem()) {
    // Both attributes are looked at, whichever comes first in the element.
    bool has_name = false, matches = false;
    std::u16string service_name;
    while (parser_.findnextattribute(&attribute, &value)) {
      if (!has_name && EqualsIgnoringCase(attribute, "name")) {
        has_name = true;
        service_name = value;
      } else if (!matches && EqualsIgnoringCase(attribute, "transport")) {
        matches = EqualsIgnoringCase(std::u16string_view(value), wanted);
      }
    }
    if (matches && has_name) {
      name = Utf16ToUtf8(service_name);
      return true;
    }
  }
  logger_->Warn("XMLLoader::ResolveSrvNameFromID - No service with transport ID '%s' was found",
                Utf16ToUtf8(wanted).c_str());
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
  return CopyCut(name, size, found) ? 1 : 0;
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
  return CopyCut(transport_id, size, value) ? 1 : 0;
}

// ---- Property enumeration -------------------------------------------------------

int XMLLoader::findinitproperty(const char* service_name) {
  if (!service_name) {
    logger_->Error(" XMLLoader::findinitproperty _ Invalid parameter(s).");
    return 0;
  }
  XPath path;
  if (!constructserviceroot(service_name, path)) return 0;
  path += "/properties/property";
  if (!parser_.findinititem(path)) {
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
  std::string attribute;
  std::u16string text;
  while (parser_.findnextattribute(&attribute, &text)) {
    if (EqualsIgnoringCase(attribute, "id")) {
      if (id) CopyCut(id, id_size, Utf16ToUtf8(text));
    } else if (EqualsIgnoringCase(attribute, "value")) {
      if (value) CopyCut(value, value_size, text);
    } else if (EqualsIgnoringCase(attribute, "name")) {
      has_name = CopyCut(name, name_size, Utf16ToUtf8(text));
    }
  }
  if (!has_name) logger_->Warn(" XMLLoader::findnextproperty _ Property name not found.");
  return has_name ? 1 : 0;
}

}  // namespace talvenix
