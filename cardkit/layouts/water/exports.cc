// The C exports of the water card: each checks its arguments, calls one C++
// function and converts its result.
#include "cardkit.h"
#include "cardkit/layouts/export_code.h"
#include "cardkit/layouts/water/water_card.h"

using kk::cardkit::ReaderResult;
using kk::cardkit::to_code;
namespace water = kk::cardkit::water;

extern "C" {

uint32_t KIOSKKIT_CALL water_yks_setkey(uint32_t /*unused*/, int32_t sector, const uint8_t key[6]) {
  if (key == nullptr) return to_code(ReaderResult::argument_refused);
  return kk::cardkit::export_code(
      [&] { return water::set_key(sector, std::span<const uint8_t, 6>(key, 6)); });
}

uint32_t KIOSKKIT_CALL water_initparamcard(uint32_t serial, uint8_t byte_argument, int32_t argument32,
                                           uint32_t code, int32_t argument24) {
  return kk::cardkit::export_code(
      [&] { return water::issue_parameter_card(serial, byte_argument, argument32, code, argument24); });
}

uint32_t KIOSKKIT_CALL water_initcard(uint32_t serial, const char* text) {
  return kk::cardkit::export_code(
      [&] { return water::issue_user_card(serial, text != nullptr ? text : ""); });
}

uint32_t KIOSKKIT_CALL water_readcard(uint32_t serial, uint32_t /*unused*/, uint32_t* balance) {
  return kk::cardkit::export_code(balance, [&](uint32_t& b) { return water::read(serial, b); });
}

uint32_t KIOSKKIT_CALL water_writecard(uint32_t serial, uint32_t /*unused*/, int32_t balance) {
  return kk::cardkit::export_code([&] { return water::write(serial, balance); });
}

uint32_t KIOSKKIT_CALL water_reclaimcard(uint32_t serial, uint32_t /*unused*/) {
  return kk::cardkit::export_code([&] { return water::reclaim(serial); });
}

}  // extern "C"
