/* Windows build of cardkit against an emulated reader on the .tcp carrier:
 * waits for the card, writes and reads back a block. Exit 0 when all works. */
#include <cardkit.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  uint16_t id = 0;
  uint32_t serial = 0;
  uint32_t r = requestCard(&id, &serial, 15000);
  printf("requestCard: %u, reader %u, card %08X\n", r, id, serial);
  if (r != 0) return 1;
  const uint8_t key[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  uint8_t data[16];
  memcpy(data, "WINDOWS BUILD 04", 16);
  uint8_t back[16] = {0};
  for (int attempt = 0; attempt < 3; ++attempt) { /* polls end an authentication */
    r = M1_AuthAt(0, 4, 1, key);
    if (r == 0) r = M1_WriteBlkAt(0, 4, data);
    if (r == 0) r = M1_AuthAt(0, 4, 1, key);
    if (r == 0) r = M1_ReadBlkAt(0, 4, back);
    if (r == 0) break;
  }
  printf("block 4: %u \"%.16s\"\n", r, (const char*)back);
  return r == 0 && memcmp(data, back, 16) == 0 ? 0 : 1;
}
