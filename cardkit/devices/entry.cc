// The library's start and stop: the device manager runs from the moment the
// library is loaded until it is unloaded or the process exits, and it never
// leaves a thread running the library's code behind (platform/library.h says
// how each system lets it end).
#include "cardkit/devices/device_manager.h"
#include "cardkit/layouts/fmt10/card_cache.h"
#include "cardkit/log/log.h"
#include "platform/library.h"

namespace kk::cardkit {
namespace {

// Unload or exit with the threads still running: stop and join them; each
// writes its own closing lines.
void stop_threads() {
  DeviceManager::instance().stop();
  DeviceManager::release();
}

// Process exit after the system ended the threads: write the closing lines
// they could not, without waiting for any lock they may have held. Nothing
// else is torn down; the system reclaims it.
void note_ended_threads() {
  log_alone_from_now();
  DeviceManager::instance().write_lines_of_ended_threads();
}

__attribute__((constructor)) void dll_init() {
  // Everything the reader threads use is built before the library is bound
  // to its threads, so it is destroyed after them (static objects go in the
  // reverse order of their construction).
  write_log("%s\r\n", "dllInit");
  (void)card_cache();
  DeviceManager& manager = DeviceManager::instance();
  if (!platform::bind_threads_to_library(&stop_threads, &note_ended_threads)) return;
  manager.start();
}

}  // namespace
}  // namespace kk::cardkit
