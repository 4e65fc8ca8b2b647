// A host process for the exit tests: loads a DLL of the kit, puts it to work
// and leaves through exit() with the work still under way.
//   kit_host cardkit-exit <cardkit.dll>        readers attached, a card
//                                              present, a thread in an export
//   kit_host notecore-exit <notecore.dll> <n>  COM<n> open
// Exit code 0 when the process got as far as its exit.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "cardkit.h"
#include "notecore.h"
#include "windows_support.h"

using kk::wintest::load_kit;

namespace {

int cardkit_exit(const char* dll) {
  HMODULE kit = load_kit(dll);
  if (kit == nullptr) return 2;
  auto request_card = KK_PROC(kit, requestCard);
  uint16_t id = 0;
  uint32_t serial = 0;
  if (request_card == nullptr || request_card(&id, &serial, 20000) != 0) return 3;
  // Keeps calling into the library until the process ends under it.
  std::thread([request_card] {
    for (;;) {
      uint16_t i = 0;
      uint32_t s = 0;
      (void)request_card(&i, &s, 100);
    }
  }).detach();
  Sleep(300);
  std::exit(0);
}

int notecore_exit(const char* dll, int com) {
  HMODULE notecore = load_kit(dll);
  if (notecore == nullptr) return 2;
  if (KK_PROC(notecore, Voro_OpenPort)(com) != 0) return 3;
  uint8_t reply[128] = {};
  int32_t length = 0;
  if (KK_PROC(notecore, Voro_Reset)(reply, &length) != 0) return 4;
  std::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "cardkit-exit") == 0) return cardkit_exit(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "notecore-exit") == 0)
    return notecore_exit(argv[2], std::atoi(argv[3]));
  return 1;
}
