/* Windows build of notecore against the validator emulator on COM1: reset,
 * polls until the validator is ready, identification. Exit 0 when all works. */
#include <notecore.h>
#include <stdio.h>

int main(void) {
  uint8_t buf[128];
  int32_t len = 0;
  if (Voro_OpenPort(1) != 0) {
    printf("COM1 does not open\n");
    return 1;
  }
  if (Voro_Reset(buf, &len) != 0) {
    printf("no answer to the reset\n");
    return 2;
  }
  int ready = 0;
  for (int i = 0; i < 20 && !ready; ++i)
    ready = Voro_Poll(buf, &len) == 0 && len > 0 && (buf[0] == 0x19 || buf[0] == 0x14);
  if (!ready) {
    printf("the validator did not become ready\n");
    return 3;
  }
  if (Voro_Identification(buf, &len) != 0 || len < 15) {
    printf("no identification\n");
    return 4;
  }
  printf("validator ready; identification %.15s\n", (const char*)buf + 1);
  Voro_ClosePort();
  return 0;
}
