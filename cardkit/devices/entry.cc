// The library's start and stop: the device manager runs from the moment the
// library is loaded until it is unloaded or the process exits, and it never
// leaves a thread running the library's code behind.
#include "cardkit/devices/device_manager.h"
#include "cardkit/layouts/fmt10/card_cache.h"
#include "cardkit/log/log.h"

namespace kk::cardkit {
namespace {

// Stops the reader threads when the library's static objects are torn down,
// at unload and at process exit alike.
struct ThreadStopper {
  ~ThreadStopper() { DeviceManager::instance().stop(); }
};

__attribute__((constructor)) void dll_init() {
  // Everything the reader threads use is built before the stopper, so it is
  // destroyed after the stopper has joined them (static objects go in the
  // reverse order of their construction).
  write_log("%s\r\n", "dllInit");
  (void)card_cache();
  DeviceManager& manager = DeviceManager::instance();
  static ThreadStopper stopper;
  manager.start();
}

}  // namespace
}  // namespace kk::cardkit
