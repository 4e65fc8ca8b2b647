// POSIX: the library's static teardown (dlclose, or exit) stops and joins
// its threads while they still run.
#include "platform/library.h"

namespace kk::platform {

namespace {

struct Stopper {
  void (*stop)() = nullptr;
  ~Stopper() {
    if (stop != nullptr) stop();
  }
};

}  // namespace

bool bind_threads_to_library(void (*stop)(), void (*)()) {
  // Built now, after everything the threads use, so destroyed before it.
  static Stopper stopper;
  stopper.stop = stop;
  return true;
}

}  // namespace kk::platform
