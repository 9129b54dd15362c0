// SPDX-License-Identifier: Apache-2.0
#include "config/xml_parser.hpp"

#include <new>
#include <unordered_map>

#include "config/xml_errors.hpp"
#include "config/xml_walk.hpp"
#include "support/text_codec.hpp"

namespace talvenix {

namespace {

// Compiled queries are kept by their text: the loader asks the same few
// shapes again and again with different names bound.
constexpr size_t kMaxCachedQueries = 128;

struct CompiledQuery {
  std::unique_ptr<pugi::xpath_variable_set> variables;
  std::unique_ptr<pugi::xpath_query> query;
};

std::string CacheKey(const XPath& xpath) {
  std::string key = xpath.text();
  for (const XPath::Variable& v : xpath.variables()) {
    key += '\0';
    key += v.is_number ? 'n' : 's';
    key += v.name;
  }
  return key;
}

// Text of a node and all its descendants, without recursion: documents may
// nest deeply.
std::string DescendantText(pugi::xpath_node item) {
  if (item.attribute()) return item.attribute().value();
  pugi::xml_node node = item.node();
  if (node.type() != pugi::node_element && node.type() != pugi::node_document) return node.value();
  std::string text;
  for (pugi::xml_node current = node.first_child(); current; current = NextInDocumentOrder(current, node))
    if (current.type() == pugi::node_pcdata || current.type() == pugi::node_cdata) text += current.value();
  return text;
}

}  // namespace

struct xmlparser_c::Shared {
  std::shared_ptr<XmlFileDocument> document;  // null until a load succeeds
  std::unordered_map<std::string, CompiledQuery> queries;
};

struct xmlparser_c::Selection {
  std::shared_ptr<XmlFileDocument> document;  // keeps the nodes alive across reloads
  pugi::xpath_node_set nodes;
};

xmlparser_c::xmlparser_c(ILogInterface* log) : shared_(std::make_shared<Shared>()), log_(log) {}

xmlparser_c::~xmlparser_c() = default;

xmlparser_c::xmlparser_c(const xmlparser_c& other) = default;

xmlparser_c& xmlparser_c::operator=(const xmlparser_c& other) = default;

void xmlparser_c::LogError(const char* format, uint32_t code, const std::string& reason) {
  if (log_) log_->Error(format, code, reason.c_str());
}

int xmlparser_c::loadconfiguration(const char* path, XmlLoadMode mode) {
  // Parsing the same bytes again would give the same document.
  if (mode == XmlLoadMode::kForReading && shared_->document && StillHoldsFile(path, *shared_->document)) return 1;
  std::unique_ptr<XmlFileDocument> file = LoadXmlFile(path, load_error_, mode);
  if (!file) {
    shared_->document.reset();  // a failed load leaves an empty document, as a fresh one
    if (load_error_.code == kXmlErrorOutOfMemory) {
      LogError("XMLParser::loadconfiguration - com error[0x%X, %s]", load_error_.code, load_error_.reason);
      return 0;
    }
    generateparseerror();
    if (log_) {
      log_->Error("XMLParser::loadconfiguration - IXMLDOMDocument.load(%s) failed.", path ? path : "");
      log_->Error("XMLParser::loadconfiguration - %s", parse_error_);
    }
    return 0;
  }
  shared_->document = std::move(file);
  return 1;
}

std::shared_ptr<const XmlFileDocument> xmlparser_c::loadeddocument() const { return shared_->document; }

void xmlparser_c::adoptdocument(std::shared_ptr<XmlFileDocument> document) { shared_->document = std::move(document); }

int xmlparser_c::saveconfiguration(const char* path) {
  if (!shared_->document) {
    LogError("XMLParser::saveconfiguration - com error[0x%X, %s]", kXmlErrorNoDocument, "nothing was loaded");
    return 0;
  }
  XmlFileError error;
  if (!SaveXmlFile(path, *shared_->document, error)) {
    LogError("XMLParser::saveconfiguration - com error[0x%X, %s]", error.code, error.reason);
    return 0;
  }
  return 1;
}

bool xmlparser_c::findinititem(const XPath& xpath) {
  std::shared_ptr<XmlFileDocument> document = shared_->document;
  pugi::xpath_node root = document ? pugi::xpath_node(document->document) : pugi::xpath_node();
  return Select(xpath, root, std::move(document));
}

bool xmlparser_c::findinititemunder(const xmlparser_c& context, const XPath& relative) {
  std::shared_ptr<XmlFileDocument> document = context.list_ ? context.list_->document : nullptr;
  pugi::xpath_node from = context.current_element_;
  return Select(relative, from, std::move(document));
}

bool xmlparser_c::Select(const XPath& xpath, pugi::xpath_node from, std::shared_ptr<XmlFileDocument> document) {
  list_.reset();
  item_index_ = -1;
  current_ = pugi::xpath_node();
  current_element_ = pugi::xml_node();
  try {
    auto selection = std::make_shared<Selection>();
    selection->document = std::move(document);
    if (!selection->document || !from) {  // an empty document, or no node to start from, matches nothing
      list_ = std::move(selection);
      return false;
    }
    std::string key = CacheKey(xpath);
    auto found = shared_->queries.find(key);
    if (found == shared_->queries.end()) {
      if (shared_->queries.size() >= kMaxCachedQueries) shared_->queries.clear();
      CompiledQuery compiled;
      compiled.variables = std::make_unique<pugi::xpath_variable_set>();
      for (const XPath::Variable& v : xpath.variables())
        compiled.variables->add(v.name.c_str(), v.is_number ? pugi::xpath_type_number : pugi::xpath_type_string);
      compiled.query = std::make_unique<pugi::xpath_query>(xpath.text().c_str(), compiled.variables.get());
      if (compiled.query->return_type() != pugi::xpath_type_node_set) {
        LogError("XMLParser::findinititem _ com error[0x%X, %s]", kXmlErrorXPath,
                 "the expression does not select nodes: " + xpath.text());
        return false;
      }
      found = shared_->queries.emplace(std::move(key), std::move(compiled)).first;
    }
    CompiledQuery& compiled = found->second;
    for (const XPath::Variable& v : xpath.variables()) {
      if (v.is_number)
        compiled.variables->set(v.name.c_str(), v.number);
      else
        compiled.variables->set(v.name.c_str(), v.text.c_str());
    }
    selection->nodes = compiled.query->evaluate_node_set(from);
    selection->nodes.sort();
    bool any = !selection->nodes.empty();
    list_ = std::move(selection);
    return any;
  } catch (const pugi::xpath_exception& e) {
    LogError("XMLParser::findinititem _ com error[0x%X, %s]", kXmlErrorXPath,
             std::string(e.result().description()) + ": " + xpath.text());
  } catch (const std::bad_alloc&) {
    LogError("XMLParser::findinititem _ com error[0x%X, %s]", kXmlErrorOutOfMemory, "out of memory");
  }
  return false;
}

bool xmlparser_c::findnextitem(char* name, size_t name_size, char* value, size_t value_size) {
  if (!list_) {
    if (log_) log_->Error("XMLParser::findnextitem _ IXMLDOMNodeList pointer is NULL.");
    return false;
  }
  ++item_index_;
  bool inside = item_index_ >= 0 && static_cast<size_t>(item_index_) < list_->nodes.size();
  current_ = inside ? list_->nodes[static_cast<size_t>(item_index_)] : pugi::xpath_node();
  current_element_ = current_.attribute() ? pugi::xml_node() : current_.node();
  if (!inside) return false;
  pugi::xpath_node item = current_;
  if (name) CopyBounded(name, name_size, item.attribute() ? item.attribute().name() : item.node().name());
  if (value) {
    // Elements have no value of their own; attributes and text nodes do.
    const char* text = item.attribute() ? item.attribute().value() : item.node().value();
    CopyBounded(value, value_size, text);
  }
  attribute_index_ = -1;
  attribute_ = pugi::xml_attribute();
  return true;
}

int xmlparser_c::getcurrentitemtext(std::u16string* text) {
  pugi::xpath_node item = CurrentNode();
  if (!item || !text) return 0;
  try {
    *text = Utf8ToUtf16(DescendantText(item));
    return 1;
  } catch (const std::bad_alloc&) {
    LogError("XMLParser::getcurrentitemtext _ com error[0x%X, %s]", kXmlErrorOutOfMemory, "out of memory");
    return 0;
  }
}

int xmlparser_c::getcurrentitemtext(char16_t* buffer, size_t size) {
  if (!buffer || size <= 1 || size > kMaxBufferSize) return 0;
  std::u16string text;
  if (!getcurrentitemtext(&text)) return 0;
  return CopyBounded(buffer, size, text) ? 1 : 0;
}

int xmlparser_c::findnextattribute(const char** name, const char** value) {
  if (!list_) return 0;
  ++attribute_index_;
  if (attribute_index_ == 0) {
    if (!current_) {
      LogError("XMLParser::findnextattribute _ com error[0x%X, %s]", kXmlErrorNoNode, "the cursor stands on no node");
      return 0;
    }
    attribute_ = current_element_.first_attribute();  // none on an attribute or a text node
  } else {
    attribute_ = attribute_.next_attribute();
  }
  if (!attribute_) return 0;
  if (name) *name = attribute_.name();
  if (value) *value = attribute_.value();
  return 1;
}

int xmlparser_c::findnextattribute(std::string* name, std::u16string* value) {
  const char* name_view = nullptr;
  const char* value_view = nullptr;
  if (!findnextattribute(&name_view, &value_view)) return 0;
  try {
    if (name) name->assign(name_view);
    if (value) *value = Utf8ToUtf16(value_view);
    return 1;
  } catch (const std::bad_alloc&) {
    LogError("XMLParser::findnextattribute _ com error[0x%X, %s]", kXmlErrorOutOfMemory, "out of memory");
    return 0;
  }
}

int xmlparser_c::findnextattribute(char* name, size_t name_size, char16_t* value, size_t value_size) {
  if ((name && name_size > kMaxBufferSize) || (value && value_size > kMaxBufferSize)) return 0;
  std::string attribute_name;
  std::u16string attribute_value;
  if (!findnextattribute(name ? &attribute_name : nullptr, value ? &attribute_value : nullptr)) return 0;
  if (name) CopyBounded(name, name_size, attribute_name);
  if (value) CopyBounded(value, value_size, attribute_value);
  return 1;
}

int xmlparser_c::setcurrentattributevalue(const char16_t* value) {
  if (!list_) return 0;
  if (attribute_index_ < 0) {
    LogError("XMLParser::setcurrentattributevalue _ com error[0x%X, %s]", kXmlErrorNoAttribute,
             "no attribute at the cursor");
    return 0;
  }
  if (!attribute_) return 0;
  if (!value) return 1;
  if (list_->document) list_->document->changed = true;
  try {
    if (!attribute_.set_value(Utf16ToUtf8(value).c_str())) {
      LogError("XMLParser::setcurrentattributevalue _ com error[0x%X, %s]", kXmlErrorOutOfMemory, "out of memory");
      return 0;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    LogError("XMLParser::setcurrentattributevalue _ com error[0x%X, %s]", kXmlErrorOutOfMemory, "out of memory");
    return 0;
  }
}

void xmlparser_c::generateparseerror() {
  try {
    CopyBounded(parse_error_, sizeof parse_error_, DescribeParseError(load_error_));
  } catch (const std::bad_alloc&) {
    LogError("XMLParser::generateparseerror: com error[0x%X, %s]", kXmlErrorOutOfMemory, "out of memory");
  }
}

}  // namespace talvenix
