// The C exports of the lfzx, gsts and gstshot cards (and lfzxdc_writecard,
// which is lfzx_writecard under the lfzxdc family's name): each checks its
// arguments, calls one C++ function with its layout and converts the result.
#include "cardkit.h"
#include "cardkit/layouts/export_code.h"
#include "cardkit/layouts/lfzx/lfzx_card.h"

namespace lfzx = kk::cardkit::lfzx;

namespace {

uint32_t export_issue(const lfzx::Layout& layout, uint32_t serial) {
  return kk::cardkit::export_code([&] { return lfzx::issue(layout, serial); });
}

uint32_t export_read(const lfzx::Layout& layout, uint32_t serial, uint32_t* balance) {
  return kk::cardkit::export_code(balance, [&](uint32_t& b) { return lfzx::read(layout, serial, b); });
}

uint32_t export_write(const lfzx::Layout& layout, uint32_t serial, uint32_t balance) {
  return kk::cardkit::export_code([&] { return lfzx::write(layout, serial, balance); });
}

uint32_t export_reclaim(const lfzx::Layout& layout, uint32_t serial) {
  return kk::cardkit::export_code([&] { return lfzx::reclaim(layout, serial); });
}

}  // namespace

extern "C" {

uint32_t KIOSKKIT_CALL lfzx_initcard(uint32_t serial) { return export_issue(lfzx::kLfzx, serial); }
uint32_t KIOSKKIT_CALL lfzx_readcard(uint32_t serial, uint32_t* balance) {
  return export_read(lfzx::kLfzx, serial, balance);
}
uint32_t KIOSKKIT_CALL lfzx_writecard(uint32_t serial, uint32_t balance) {
  return export_write(lfzx::kLfzx, serial, balance);
}
uint32_t KIOSKKIT_CALL lfzx_reclaimcard(uint32_t serial) { return export_reclaim(lfzx::kLfzx, serial); }
uint32_t KIOSKKIT_CALL lfzxdc_writecard(uint32_t serial, uint32_t balance) {
  return export_write(lfzx::kLfzx, serial, balance);
}

uint32_t KIOSKKIT_CALL gsts_initcard(uint32_t serial) { return export_issue(lfzx::kGsts, serial); }
uint32_t KIOSKKIT_CALL gsts_readcard(uint32_t serial, uint32_t* balance) {
  return export_read(lfzx::kGsts, serial, balance);
}
uint32_t KIOSKKIT_CALL gsts_writecard(uint32_t serial, uint32_t balance) {
  return export_write(lfzx::kGsts, serial, balance);
}
uint32_t KIOSKKIT_CALL gsts_reclaimcard(uint32_t serial) { return export_reclaim(lfzx::kGsts, serial); }

uint32_t KIOSKKIT_CALL gstshot_initcard(uint32_t serial) { return export_issue(lfzx::kGstshot, serial); }
uint32_t KIOSKKIT_CALL gstshot_readcard(uint32_t serial, uint32_t* balance) {
  return export_read(lfzx::kGstshot, serial, balance);
}
uint32_t KIOSKKIT_CALL gstshot_writecard(uint32_t serial, uint32_t balance) {
  return export_write(lfzx::kGstshot, serial, balance);
}
uint32_t KIOSKKIT_CALL gstshot_reclaimcard(uint32_t serial) { return export_reclaim(lfzx::kGstshot, serial); }

}  // extern "C"
