// The library's start and stop: the device manager runs from the moment the
// library is loaded until it is unloaded or the process exits, and it never
// leaves a thread running the library's code behind.
#include <cstdlib>

#include "cardkit/devices/device_manager.h"
#include "cardkit/log/log.h"

namespace kk::cardkit {
namespace {

void stop_device_manager() { DeviceManager::instance().stop(); }

__attribute__((constructor)) void dll_init() {
  write_log("%s\r\n", "dllInit");
  DeviceManager::instance().start();
  // At exit the threads stop before the process tears down; at unload the
  // destructor below does the same.
  std::atexit(&stop_device_manager);
}

__attribute__((destructor)) void dll_fini() { stop_device_manager(); }

}  // namespace
}  // namespace kk::cardkit
