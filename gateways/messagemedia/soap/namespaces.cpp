// SPDX-License-Identifier: Apache-2.0
// Debian's gSOAP runtime refers to one global table of XML namespaces; this
// is its only definition (the proxy installs the same table on its own
// context, which is all the Windows build's runtime, made without the global
// table, uses).
#include "MessageMediaServiceBinding.nsmap"
