// The library's start and stop: the device manager runs from the moment the
// library is loaded until it is unloaded or the process exits, and it never
// leaves a thread running the library's code behind.
#include <cstdlib>

#include "cardkit/devices/device_manager.h"
#include "cardkit/layouts/fmt10/card_cache.h"
#include "cardkit/log/log.h"

namespace kk::cardkit {
namespace {

void stop_device_manager() { DeviceManager::instance().stop(); }

__attribute__((constructor)) void dll_init() {
  // Everything the reader threads use is built before the stop handler is
  // registered. Handlers run in reverse order of registration, at process
  // exit and when the library is unloaded alike, so the threads are stopped
  // and joined before any of it is torn down.
  write_log("%s\r\n", "dllInit");
  (void)card_cache();
  DeviceManager& manager = DeviceManager::instance();
  std::atexit(&stop_device_manager);
  manager.start();
}

}  // namespace
}  // namespace kk::cardkit
