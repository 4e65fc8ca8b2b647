// Load-time start of the shared library: the connection object is made
// when the library is loaded, as the host expects; nothing else happens
// until ConnectDB.
#include "patronlink/patron_store.h"

namespace {
[[maybe_unused]] const bool kStoreReady = (static_cast<void>(kk::patronlink::patron_store()), true);
}  // namespace
