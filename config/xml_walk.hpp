// SPDX-License-Identifier: Apache-2.0
#pragma once
// Walking a pugixml tree without recursion: documents may nest deeply.

#include <pugixml.hpp>

namespace talvenix {

// The node after `node` in document order inside `root`'s subtree, or an
// empty node after the last.
inline pugi::xml_node NextInDocumentOrder(pugi::xml_node node, pugi::xml_node root) {
  if (node.first_child()) return node.first_child();
  while (node != root && !node.next_sibling()) node = node.parent();
  return node == root ? pugi::xml_node() : node.next_sibling();
}

}  // namespace talvenix
