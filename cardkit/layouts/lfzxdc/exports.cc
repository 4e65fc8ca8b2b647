// The C exports of the lfzxdc card: each checks its arguments, calls one C++
// function and converts its result. lfzxdc_writecard is lfzx_writecard and
// lives with the lfzx exports.
#include "cardkit.h"
#include "cardkit/layouts/export_code.h"
#include "cardkit/layouts/lfzxdc/lfzxdc_card.h"

using kk::cardkit::ReaderResult;
using kk::cardkit::to_code;
namespace lfzxdc = kk::cardkit::lfzxdc;

extern "C" {

uint32_t KIOSKKIT_CALL lfzxdc_initcard(uint32_t serial) {
  return kk::cardkit::export_code([&] { return lfzxdc::issue(serial); });
}

uint32_t KIOSKKIT_CALL lfzxdc_reclaimcard(uint32_t serial) {
  return kk::cardkit::export_code([&] { return lfzxdc::reclaim(serial); });
}

uint32_t KIOSKKIT_CALL lfzxdc_readcard(uint32_t serial, uint32_t* prefix, uint32_t* number) {
  if (prefix == nullptr || number == nullptr) return kk::cardkit::kRefusedCall;
  return kk::cardkit::export_code([&] {
    uint32_t p = 0, n = 0;
    const ReaderResult r = lfzxdc::read_card_number(serial, p, n);
    if (r == ReaderResult::ok) {
      *prefix = p;
      *number = n;
    }
    return r;
  });
}

uint32_t KIOSKKIT_CALL lfzxdc_readmoney(uint32_t /*unused*/, uint32_t* next_sequence, uint32_t* pending) {
  if (next_sequence == nullptr || pending == nullptr) return kk::cardkit::kRefusedCall;
  return kk::cardkit::export_code([&] { return lfzxdc::purchase(*next_sequence, *pending); });
}

uint32_t KIOSKKIT_CALL lfzxdc_writecardno(uint32_t serial, uint16_t prefix, uint32_t number) {
  return kk::cardkit::export_code([&] { return lfzxdc::write_card_number(serial, prefix, number); });
}

uint32_t KIOSKKIT_CALL lfzxdc_writeprice(uint32_t serial, uint16_t word, uint32_t value) {
  return kk::cardkit::export_code([&] { return lfzxdc::write_price(serial, word, value); });
}

uint32_t KIOSKKIT_CALL lfzxdc_charge(uint32_t serial, uint32_t sequence, uint16_t amount) {
  return kk::cardkit::export_code([&] { return lfzxdc::charge(serial, sequence, amount); });
}

uint32_t KIOSKKIT_CALL lfzxdc_makeclearcard(uint32_t serial) {
  return kk::cardkit::export_code([&] { return lfzxdc::make_clear(serial); });
}

}  // extern "C"
