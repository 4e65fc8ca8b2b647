// Windows: the library pins its module before its threads start, so it is
// never unloaded under them; its static teardown then happens only at
// process exit, after the system has ended them.
#include "platform/library.h"

#include <windows.h>

namespace kk::platform {

namespace {

// Any address inside this module names it.
const char kInsideThisModule = 0;

struct ExitNote {
  void (*ended)() = nullptr;
  ~ExitNote() {
    if (ended != nullptr) ended();
  }
};

}  // namespace

bool bind_threads_to_library(void (*)(), void (*ended)()) {
  HMODULE module = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&kInsideThisModule), &module) == FALSE)
    return false;
  // Built now, after everything the threads use, so destroyed before it.
  static ExitNote note;
  note.ended = ended;
  return true;
}

}  // namespace kk::platform
