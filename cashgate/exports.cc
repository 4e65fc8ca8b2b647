// The C exports of cashgate: argument checks and one call each.
#include "cashgate.h"
#include "cashgate/calls.h"
#include "common/boundary.h"

extern "C" {

int32_t KIOSKKIT_CALL TarnOpenPort(int32_t port) {
  return kk::guarded(int32_t{-1}, [&] { return kk::cashgate::open_port(port); });
}

int32_t KIOSKKIT_CALL TarnClosePort(void) {
  return kk::guarded(int32_t{-1}, [] { return kk::cashgate::close_port(); });
}

int32_t KIOSKKIT_CALL TarnReset(int32_t* first, int32_t* second) {
  if (first == nullptr || second == nullptr) return -1;
  return kk::guarded(int32_t{-1}, [&] { return kk::cashgate::reset(*first, *second); });
}

int32_t KIOSKKIT_CALL TarnPoll(int32_t* first, int32_t* second) {
  if (first == nullptr || second == nullptr) return -1;
  return kk::guarded(int32_t{-1}, [&] { return kk::cashgate::poll(*first, *second); });
}

int32_t KIOSKKIT_CALL TarnEnableBillType(uint32_t bill_mask, uint8_t escrow, int32_t* first,
                                         int32_t* second) {
  if (first == nullptr || second == nullptr) return -1;
  return kk::guarded(int32_t{-1},
                     [&] { return kk::cashgate::enable_bill_type(bill_mask, escrow, *first, *second); });
}

int32_t KIOSKKIT_CALL TarnDisableBill(int32_t* first, int32_t* second) {
  if (first == nullptr || second == nullptr) return -1;
  return kk::guarded(int32_t{-1}, [&] { return kk::cashgate::disable_bill(*first, *second); });
}

}  // extern "C"
