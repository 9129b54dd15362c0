// SPDX-License-Identifier: Apache-2.0
#pragma once
// xmlparser_c: a cursor over one XML document held by pugixml. It loads the
// document from a file, selects nodes with an XPath, steps through them and
// through the current node's attributes, changes the current attribute and
// saves the document. Every failure is logged ("XMLParser::...") and turned
// into a 0 or false result; nothing is thrown to the caller.
//
// A copy is an independent cursor over the same document: it shares the
// document and the current selection, but selecting or stepping in the copy
// does not move the source. A reload replaces the document for every copy;
// selections made before it keep the nodes they hold alive.
//
// Names and XPaths cross this interface as narrow (UTF-8) text, node text and
// attribute values as UTF-16. One object must be used by one thread at a time.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "config/xml_file.hpp"
#include "config/xpath.hpp"
#include "contract/log_interface.hpp"

namespace talvenix {

class xmlparser_c {
 public:
  explicit xmlparser_c(ILogInterface* log);
  virtual ~xmlparser_c();
  xmlparser_c(const xmlparser_c& other);
  xmlparser_c& operator=(const xmlparser_c& other);

  // Replaces the document with the file at path. 0 when the file cannot be
  // read or parsed; the parse error text then says where and why. A document
  // loaded for reading and not changed since is kept while the file still
  // holds the very bytes it was parsed from.
  int loadconfiguration(const char* path, XmlLoadMode mode = XmlLoadMode::kForEditing);
  // Takes a document read already (by LoadXmlFile) as if it had been loaded,
  // for a reader that wants the load's error itself.
  void adoptdocument(std::shared_ptr<XmlFileDocument> document);
  // Writes the document to path through a temporary file and a rename.
  int saveconfiguration(const char* path);

  // Selects the nodes matching xpath; true when there is at least one. The
  // cursor then stands before the first: findnextitem reaches it.
  bool findinititem(const XPath& xpath);
  // The same with a relative XPath, evaluated from the element on which
  // `context` stands (such as "properties/property" from a service), so a
  // second selection need not walk down from the root again.
  bool findinititemunder(const xmlparser_c& context, const XPath& relative);
  // The element the cursor stands on, for a caller that steps through its
  // children directly; empty on no node, an attribute or a text node. Valid
  // while this cursor keeps its selection (the selection keeps the document).
  pugi::xml_node currentelement() const { return current_element_; }
  // Moves to the next node; copies its name and value when buffers are given.
  bool findnextitem(char* name = nullptr, size_t name_size = 0, char* value = nullptr, size_t value_size = 0);
  // The text of the current node and its descendants; does not move.
  int getcurrentitemtext(char16_t* buffer, size_t size);
  int getcurrentitemtext(std::u16string* text);
  // Moves to the current node's next attribute and copies its name and value.
  int findnextattribute(char* name, size_t name_size, char16_t* value, size_t value_size);
  int findnextattribute(std::string* name, std::u16string* value);
  // The same step, giving the name and value as stored (UTF-8,
  // NUL-terminated) without a copy; valid until the document is changed or
  // replaced.
  int findnextattribute(const char** name, const char** value);
  // Sets the attribute last returned by findnextattribute (in memory only).
  int setcurrentattributevalue(const char16_t* value);
  // Formats the last load failure into the parse error text.
  void generateparseerror();

  const char* parseerror() const { return parse_error_; }
  // The document as last loaded (null when none): the same object for as
  // long as loads find the file unchanged.
  std::shared_ptr<const XmlFileDocument> loadeddocument() const;

 private:
  struct Shared;
  struct Selection;

  bool Select(const XPath& xpath, pugi::xpath_node from, std::shared_ptr<XmlFileDocument> document);
  // The node at the item index; empty when there is none.
  pugi::xpath_node CurrentNode() const { return current_; }
  void LogError(const char* format, uint32_t code, const std::string& reason);

  std::shared_ptr<Shared> shared_;         // the document, shared by copies
  std::shared_ptr<const Selection> list_;  // the current selection, or null
  int item_index_ = 0;
  pugi::xpath_node current_;        // the node at item_index_, kept for speed
  pugi::xml_node current_element_;  // the same when it is an element (attributes live there)
  int attribute_index_ = 0;
  pugi::xml_attribute attribute_;  // the attribute at attribute_index_
  XmlFileError load_error_;        // of the last failed load
  char parse_error_[1024] = {};
  ILogInterface* log_;
};

}  // namespace talvenix
