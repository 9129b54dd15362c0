// SPDX-License-Identifier: Apache-2.0
#pragma once
// Adding and removing elements in a document that keeps its whitespace, so
// that a line added to a hand-indented file is indented like its neighbours
// and a removed line leaves no blank line behind.

#include <pugixml.hpp>

namespace talvenix {

// Appends a new element `name` as the last element child of `parent`,
// indented one step deeper than `parent` when the document is indented.
pugi::xml_node AppendChildIndented(pugi::xml_node parent, const char* name);

// Removes `child` from its parent together with the indentation before it.
bool RemoveChildIndented(pugi::xml_node child);

}  // namespace talvenix
