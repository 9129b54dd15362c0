// SPDX-License-Identifier: Apache-2.0
#pragma once
// Error codes of the configuration store's XML layer. They stand where the
// loader's log lines print an error code ("com error[0x%X, %s]"); the text
// beside the code is pugixml's description or the system's.

#include <cstdint>

namespace talvenix {

enum XmlError : uint32_t {
  kXmlErrorCannotRead = 0xC0DE0001,     // the file could not be opened or read
  kXmlErrorNotWellFormed = 0xC0DE0002,  // pugixml refused the document
  kXmlErrorEncoding = 0xC0DE0003,       // bytes that are not valid in the document's encoding
  kXmlErrorXPath = 0xC0DE0004,          // pugixml refused or could not evaluate an XPath
  kXmlErrorNoNode = 0xC0DE0005,         // the cursor stands on no node
  kXmlErrorNoAttribute = 0xC0DE0006,    // the cursor stands on no attribute
  kXmlErrorCannotWrite = 0xC0DE0007,    // the file could not be written
  kXmlErrorNoDocument = 0xC0DE0008,     // nothing has been loaded
  kXmlErrorOutOfMemory = 0xC0DE0009,
  kXmlErrorRefusedMarkup = 0xC0DE000A,  // entities or a repeated attribute (config/xml_refusals.hpp)
};

}  // namespace talvenix
