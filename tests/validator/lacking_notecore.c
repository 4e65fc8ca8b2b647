/* A stand-in notecore that lacks Voro_DisableBill: cashgate must refuse to
 * load against it. */
#include <stdint.h>

#define EXPORT __attribute__((visibility("default")))

EXPORT int32_t Voro_OpenPort(int32_t port) {
  (void)port;
  return -1;
}
EXPORT int32_t Voro_ClosePort(void) { return 0; }
EXPORT int32_t Voro_Reset(uint8_t* buf, int32_t* len) {
  (void)buf;
  (void)len;
  return -1;
}
EXPORT int32_t Voro_Poll(uint8_t* buf, int32_t* len) {
  (void)buf;
  (void)len;
  return -1;
}
EXPORT int32_t Voro_EnableBillType(uint32_t mask, int32_t escrow, uint8_t* buf, int32_t* len) {
  (void)mask;
  (void)escrow;
  (void)buf;
  (void)len;
  return -1;
}
