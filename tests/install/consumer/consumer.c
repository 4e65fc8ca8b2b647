/* A host program of the installed kit: it links all three libraries it
 * names and calls one function of each. */
#include <cardkit.h>
#include <cashgate.h>
#include <patronlink.h>
#include <stdio.h>

int main(void) {
  uint8_t data[8] = {0};
  const uint8_t key[16] = {0};
  if (des3_enc_dat(data, 8, key) != 8) return 1;
  char digest[33] = {0};
  if (GetReaderPasswrod("", digest) != 0) return 1;
  if (TarnClosePort() != 0) return 1;
  printf("installed kit: des3_enc_dat, GetReaderPasswrod and TarnClosePort answer\n");
  return 0;
}
