// gSOAP's runtime refers to one global table of XML namespaces; this is its
// only definition (the proxy installs the same table on its own context).
#include "MessageMediaServiceBinding.nsmap"
