// SPDX-License-Identifier: Apache-2.0
#include "config/xml_layout.hpp"

#include <cstring>
#include <string>

namespace talvenix {
namespace {

bool IsIndentation(pugi::xml_node node) {
  if (node.type() != pugi::node_pcdata) return false;
  const char* text = node.value();
  return std::strspn(text, " \t\r\n") == std::strlen(text) && std::strchr(text, '\n');
}

// The newline and indentation in front of `node`, or empty when it has none.
std::string IndentationBefore(pugi::xml_node node) {
  pugi::xml_node before = node.previous_sibling();
  if (!before || !IsIndentation(before)) return {};
  std::string text = before.value();
  return text.substr(text.rfind('\n'));
}

}  // namespace

pugi::xml_node AppendChildIndented(pugi::xml_node parent, const char* name) {
  std::string own = IndentationBefore(parent);
  if (own.empty()) return parent.append_child(name);  // a document without layout stays so

  // Children are indented like the existing ones, else one step deeper.
  std::string inner;
  for (pugi::xml_node child = parent.last_child(); child && inner.empty(); child = child.previous_sibling())
    if (child.type() == pugi::node_element) inner = IndentationBefore(child);
  if (inner.empty()) {
    std::string step = "  ";
    if (pugi::xml_node grand = parent.parent(); grand && grand.type() == pugi::node_element) {
      std::string outer = IndentationBefore(grand);
      if (!outer.empty() && own.size() > outer.size()) step = own.substr(outer.size());
    }
    inner = own + step;
  }

  pugi::xml_node closing = parent.last_child();
  if (!closing || !IsIndentation(closing)) {
    // Nothing yet before the end tag: give it its own line.
    closing = parent.append_child(pugi::node_pcdata);
    closing.set_value(own.c_str());
  }
  pugi::xml_node gap = parent.insert_child_before(pugi::node_pcdata, closing);
  gap.set_value(inner.c_str());
  return parent.insert_child_before(name, closing);
}

bool RemoveChildIndented(pugi::xml_node child) {
  pugi::xml_node parent = child.parent();
  if (!parent) return false;
  pugi::xml_node before = child.previous_sibling();
  if (before && IsIndentation(before)) parent.remove_child(before);
  return parent.remove_child(child);
}

}  // namespace talvenix
